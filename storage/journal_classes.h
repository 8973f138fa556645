// The journal engine classes, found by name, and the class every server
// folder of the process commits through.
//
// Contract: names compare without ASCII case. The storage start-up registers
// Tnx1xJournalEngine, Tnx1xCommitJournalEngine and Tnx1xRollbackJournalEngine
// and makes the rollback journal the default unless a default is already
// set; the last shut-down clears the default when it is one of the three
// and unregisters them. A nil default means no journal (folders commit
// without one). The default is read and set atomically; the registry
// changes only during start-up and shut-down.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/file_ops.h"

namespace revurov {

class TnxBaseJournalEngine;

struct TnxJournalEngineClass {
  std::u16string_view Name;
  // 0 both images, 1 after images, 2 before images.
  int32_t Kind = 0;
  std::unique_ptr<TnxBaseJournalEngine> (*Create)(std::u16string aFileName, platform::TFileOps& aOps) = nullptr;
  // Recovers a database folder before its tables are used.
  void (*Check)(std::u16string_view aAlias, std::u16string_view aPath) = nullptr;
};

// Registering a name twice keeps the first.
void nxRegisterJournalEngineClass(const TnxJournalEngineClass& aClass);
void nxUnregisterJournalEngineClass(const TnxJournalEngineClass& aClass) noexcept;
// The class registered under aName; nil when none.
const TnxJournalEngineClass* nxFindJournalEngineClass(std::u16string_view aName) noexcept;

const TnxJournalEngineClass* nxDefaultJournalEngineClass() noexcept;
void nxSetDefaultJournalEngineClass(const TnxJournalEngineClass* aClass) noexcept;
// The default class's name; empty when none is set.
std::u16string_view nxDefaultJournalEngineClassName() noexcept;

const TnxJournalEngineClass& nxJournalEngineClass() noexcept;          // Tnx1xJournalEngine
const TnxJournalEngineClass& nxCommitJournalEngineClass() noexcept;    // Tnx1xCommitJournalEngine
const TnxJournalEngineClass& nxRollbackJournalEngineClass() noexcept;  // Tnx1xRollbackJournalEngine

void nxJournalEnginesStartup();
void nxJournalEnginesShutdown();

}  // namespace revurov
