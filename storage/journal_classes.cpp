#include "storage/journal_classes.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <vector>

#include "platform/text.h"
#include "storage/journal_engine.h"

namespace revurov {

namespace {

std::mutex gRegistryLock;
std::vector<const TnxJournalEngineClass*> gClasses;
std::atomic<const TnxJournalEngineClass*> gDefaultClass{nullptr};

template <class T>
std::unique_ptr<TnxBaseJournalEngine> NewJournal(std::u16string aFileName, platform::TFileOps& aOps) {
  return std::make_unique<T>(std::move(aFileName), aOps);
}

template <class T>
void CheckFolder(std::u16string_view aAlias, std::u16string_view aPath) {
  T::Check(aAlias, aPath);
}

const TnxJournalEngineClass kBoth{u"Tnx1xJournalEngine", 0, &NewJournal<Tnx1xJournalEngine>,
                                  &CheckFolder<Tnx1xJournalEngine>};
const TnxJournalEngineClass kCommit{u"Tnx1xCommitJournalEngine", 1, &NewJournal<Tnx1xCommitJournalEngine>,
                                    &CheckFolder<Tnx1xCommitJournalEngine>};
const TnxJournalEngineClass kRollback{u"Tnx1xRollbackJournalEngine", 2, &NewJournal<Tnx1xRollbackJournalEngine>,
                                      &CheckFolder<Tnx1xRollbackJournalEngine>};

}  // namespace

void nxRegisterJournalEngineClass(const TnxJournalEngineClass& aClass) {
  std::lock_guard<std::mutex> guard(gRegistryLock);
  for (const TnxJournalEngineClass* known : gClasses)
    if (platform::AsciiSameText(known->Name, aClass.Name)) return;
  gClasses.push_back(&aClass);
}

void nxUnregisterJournalEngineClass(const TnxJournalEngineClass& aClass) noexcept {
  std::lock_guard<std::mutex> guard(gRegistryLock);
  std::erase(gClasses, &aClass);
}

const TnxJournalEngineClass* nxFindJournalEngineClass(std::u16string_view aName) noexcept {
  std::lock_guard<std::mutex> guard(gRegistryLock);
  for (const TnxJournalEngineClass* known : gClasses)
    if (platform::AsciiSameText(known->Name, aName)) return known;
  return nullptr;
}

const TnxJournalEngineClass* nxDefaultJournalEngineClass() noexcept {
  return gDefaultClass.load(std::memory_order_acquire);
}

void nxSetDefaultJournalEngineClass(const TnxJournalEngineClass* aClass) noexcept {
  gDefaultClass.store(aClass, std::memory_order_release);
}

std::u16string_view nxDefaultJournalEngineClassName() noexcept {
  const TnxJournalEngineClass* current = nxDefaultJournalEngineClass();
  return current ? current->Name : std::u16string_view();
}

const TnxJournalEngineClass& nxJournalEngineClass() noexcept { return kBoth; }
const TnxJournalEngineClass& nxCommitJournalEngineClass() noexcept { return kCommit; }
const TnxJournalEngineClass& nxRollbackJournalEngineClass() noexcept { return kRollback; }

void nxJournalEnginesStartup() {
  nxRegisterJournalEngineClass(kBoth);
  nxRegisterJournalEngineClass(kCommit);
  nxRegisterJournalEngineClass(kRollback);
  const TnxJournalEngineClass* none = nullptr;
  gDefaultClass.compare_exchange_strong(none, &kRollback);
}

void nxJournalEnginesShutdown() {
  for (const TnxJournalEngineClass* own : {&kBoth, &kCommit, &kRollback}) {
    const TnxJournalEngineClass* expected = own;
    gDefaultClass.compare_exchange_strong(expected, nullptr);
  }
  nxUnregisterJournalEngineClass(kRollback);
  nxUnregisterJournalEngineClass(kCommit);
  nxUnregisterJournalEngineClass(kBoth);
}

}  // namespace revurov
