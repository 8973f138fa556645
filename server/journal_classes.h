// The journal engine classes by name, and the one every server folder of
// the process commits through.
//
// Contract: names compare without ASCII case. The process-wide class is
// Tnx1xRollbackJournalEngine until it is set; nil means no journal class
// (folders commit without a journal). Reads and writes are atomic.
#pragma once

#include <memory>
#include <string>
#include <string_view>

namespace revurov {

class TnxBaseJournalEngine;

struct TnxJournalEngineClass {
  std::u16string_view Name;
  std::unique_ptr<TnxBaseJournalEngine> (*Create)(std::u16string aFileName) = nullptr;
};

// The class known under aName; nil when none.
const TnxJournalEngineClass* nxFindJournalEngineClass(std::u16string_view aName) noexcept;
const TnxJournalEngineClass* nxServerJournalEngineClass() noexcept;
void nxSetServerJournalEngineClass(const TnxJournalEngineClass* aClass) noexcept;
// The name of the process-wide class; empty when none is set.
std::u16string_view nxServerJournalEngineClassName() noexcept;

}  // namespace revurov
