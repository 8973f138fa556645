#include "server/journal_classes.h"

#include <atomic>

#include "platform/text.h"
#include "storage/journal_engine.h"

namespace revurov {

namespace {

template <class T>
std::unique_ptr<TnxBaseJournalEngine> NewJournal(std::u16string aFileName) {
  return std::make_unique<T>(std::move(aFileName));
}

const TnxJournalEngineClass kClasses[] = {
    {u"Tnx1xRollbackJournalEngine", &NewJournal<Tnx1xRollbackJournalEngine>},
    {u"Tnx1xJournalEngine", &NewJournal<Tnx1xJournalEngine>},
    {u"Tnx1xCommitJournalEngine", &NewJournal<Tnx1xCommitJournalEngine>},
};

std::atomic<const TnxJournalEngineClass*> gServerJournalClass{&kClasses[0]};

}  // namespace

const TnxJournalEngineClass* nxFindJournalEngineClass(std::u16string_view aName) noexcept {
  for (const TnxJournalEngineClass& c : kClasses)
    if (platform::AsciiSameText(c.Name, aName)) return &c;
  return nullptr;
}

const TnxJournalEngineClass* nxServerJournalEngineClass() noexcept {
  return gServerJournalClass.load(std::memory_order_acquire);
}

void nxSetServerJournalEngineClass(const TnxJournalEngineClass* aClass) noexcept {
  gServerJournalClass.store(aClass, std::memory_order_release);
}

std::u16string_view nxServerJournalEngineClassName() noexcept {
  const TnxJournalEngineClass* c = nxServerJournalEngineClass();
  return c ? c->Name : std::u16string_view();
}

}  // namespace revurov
