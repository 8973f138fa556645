// The journals of one database folder: numbered files "<n>.n$2" whose
// numbers only grow, and the empty file of the next journal made ahead.
//
// A fail-safe commit needs the name of its new journal durable before data
// is written, and the name of its removed journal durably gone before the
// commit is reported. The supply makes the next journal's empty file when
// the last one is removed, so one folder sync covers both; a commit then
// costs no folder sync of its own. Check ignores empty journals.
//
// Contract:
// - Numbers start above every numbered journal in the folder when the
//   supply is made, and each one is handed out once; past the last 32-bit
//   number NextJournal raises 9985 (no number wraps round to undercut the
//   journals on disk).
// - NextJournal and the removal callback may run on any thread; the supply
//   must outlive the journals it hands out.
// - A journal handed out with a prepared file that is gone by the time it
//   is written makes its own file and syncs the folder itself.
// - The destructor removes a prepared file nobody took.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "platform/file_ops.h"

namespace revurov {

class TnxBaseJournalEngine;
struct TnxJournalEngineClass;

class TnxJournalSupply {
public:
  explicit TnxJournalSupply(std::u16string aFolder, platform::TFileOps& aOps = platform::FileOps());
  ~TnxJournalSupply();
  TnxJournalSupply(const TnxJournalSupply&) = delete;
  TnxJournalSupply& operator=(const TnxJournalSupply&) = delete;

  // A journal of aClass for the next number; nil when aClass is nil.
  std::unique_ptr<TnxBaseJournalEngine> NextJournal(const TnxJournalEngineClass* aClass);
  uint64_t NextNumber() const;
  // The file name of journal aNumber.
  std::u16string JournalName(uint32_t aNumber) const;

  // By a journal whose name was just removed: makes the next journal's
  // empty file and syncs the folder once for both. Answers the folder
  // sync's error (0 on success); the removal is durable only on 0.
  int Removed();
  // By a journal that was handed a prepared file and never wrote it.
  void Unused(uint32_t aNumber) noexcept;

private:
  std::u16string jsFolder;  // with its trailing delimiter
  std::string jsOsFolder;
  platform::TFileOps& jsOps;
  mutable std::mutex jsLock;
  uint64_t jsNext = 1;
  uint32_t jsPrepared = 0;  // the durable empty file made ahead; 0: none
};

}  // namespace revurov
