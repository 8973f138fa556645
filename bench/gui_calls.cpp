// A platform hook called on a worker and run on the GUI thread, against the
// same work handed over with QMetaObject::invokeMethod and
// Qt::BlockingQueuedConnection: what the binding's hand-over costs. The GUI
// thread runs its Qt loop meanwhile; the forms answer at once.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QDialog>
#include <QMetaObject>
#include <QPrinter>
#include <cstdlib>
#include <thread>

#include "client/platform/form_runner.h"
#include "client/platform/journal_form.h"
#include "client/platform/startup.h"
#include "lowlevel/sync/platform_interface.h"

namespace {

using namespace revurov;

class TAnswerAtOnce : public TnxFormRunner {
public:
  int Exec(QDialog&) override { return QDialog::Accepted; }
  bool ChoosePrinter(QPrinter&, QWidget*) override { return false; }
  void Beep() override {}
};

void SynchronizeOurs(benchmark::State& state) {
  int runs = 0;
  for (auto _ : state) nxPlatformSynchronize([&] { ++runs; });
  if (runs != static_cast<int>(state.iterations())) std::abort();
}

void SynchronizePeer(benchmark::State& state) {
  int runs = 0;
  for (auto _ : state) QMetaObject::invokeMethod(qApp, [&] { ++runs; }, Qt::BlockingQueuedConnection);
  if (runs != static_cast<int>(state.iterations())) std::abort();
}

void JournalQuestionOurs(benchmark::State& state) {
  for (auto _ : state)
    if (!nxPlatformJournalRecoveryDialog(jsComplete, u"Kunden", u"/daten", u"Adressen.nx1", u"")) std::abort();
}

void JournalQuestionPeer(benchmark::State& state) {
  for (auto _ : state) {
    bool answer = false;
    QMetaObject::invokeMethod(
        qApp, [&] { answer = ShowJournalRecoveryDialog(jsComplete, u"Kunden", u"/daten", u"Adressen.nx1", u""); },
        Qt::BlockingQueuedConnection);
    if (!answer) std::abort();
  }
}

BENCHMARK(SynchronizeOurs)->Name("synchronize/ours")->UseRealTime();
BENCHMARK(SynchronizePeer)->Name("synchronize/peer:qt_blocking_queued")->UseRealTime();
BENCHMARK(JournalQuestionOurs)->Name("journal_question/ours")->UseRealTime();
BENCHMARK(JournalQuestionPeer)->Name("journal_question/peer:qt_blocking_queued")->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  nxGuiPlatformStartup();
  nxSetFormRunner(std::make_unique<TAnswerAtOnce>());
  int result = 0;
  // The benchmarks run on a worker; this thread is the GUI thread and runs its loop.
  std::thread worker([&] {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    QMetaObject::invokeMethod(&app, [] { QCoreApplication::quit(); }, Qt::QueuedConnection);
  });
  result = app.exec();
  worker.join();
  nxSetFormRunner(nullptr);
  nxGuiPlatformShutdown();
  return result;
}
