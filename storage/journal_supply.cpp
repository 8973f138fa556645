#include "storage/journal_supply.h"

#include <algorithm>
#include <filesystem>

#include "dictionary/engine_types.h"
#include "lowlevel/errors/error_codes.h"
#include "platform/paths.h"
#include "platform/text.h"
#include "storage/journal_classes.h"
#include "storage/journal_engine.h"

namespace revurov {

namespace {

// The number of a journal's file name; 0 for any other name.
uint32_t NumberOf(std::string_view aName) {
  std::string suffix(1, '.');
  suffix += platform::ToOsPath(nxJournalExtension);
  if (aName.size() <= suffix.size() || !aName.ends_with(suffix)) return 0;
  const std::string_view stem = aName.substr(0, aName.size() - suffix.size());
  if (stem.size() > 10 || !std::all_of(stem.begin(), stem.end(), [](char c) { return c >= '0' && c <= '9'; }))
    return 0;
  const uint64_t value = std::stoull(std::string(stem));
  return value > UINT32_MAX ? 0 : static_cast<uint32_t>(value);
}

}  // namespace

TnxJournalSupply::TnxJournalSupply(std::u16string aFolder, platform::TFileOps& aOps)
    : jsFolder(platform::IncludeTrailingPathDelimiter(aFolder)), jsOsFolder(platform::ToOsPath(jsFolder)), jsOps(aOps) {
  std::error_code ec;
  for (const auto& item : std::filesystem::directory_iterator(jsOsFolder, ec))
    if (const uint64_t number = NumberOf(item.path().filename().string()); number >= jsNext) jsNext = number + 1;
}

TnxJournalSupply::~TnxJournalSupply() {
  if (jsPrepared) jsOps.Unlink(platform::ToOsPath(JournalName(jsPrepared)));
}

std::u16string TnxJournalSupply::JournalName(uint32_t aNumber) const {
  return jsFolder + platform::Utf8ToUtf16(std::to_string(aNumber)) + u"." + std::u16string(nxJournalExtension);
}

uint64_t TnxJournalSupply::NextNumber() const {
  std::lock_guard<std::mutex> guard(jsLock);
  return jsNext;
}

std::unique_ptr<TnxBaseJournalEngine> TnxJournalSupply::NextJournal(const TnxJournalEngineClass* aClass) {
  if (!aClass) return nullptr;
  std::lock_guard<std::mutex> guard(jsLock);
  if (jsNext > UINT32_MAX)
    throw EnxBaseJournalEngineException(nxeOutOfRange, u"No journal number is left in folder %s", {jsFolder});
  const uint32_t number = static_cast<uint32_t>(jsNext);
  std::unique_ptr<TnxBaseJournalEngine> journal = aClass->Create(JournalName(number), jsOps);
  ++jsNext;
  const bool prepared = number == jsPrepared;
  if (prepared) jsPrepared = 0;
  journal->Supplied(*this, number, prepared);
  return journal;
}

int TnxJournalSupply::Removed() {
  std::lock_guard<std::mutex> guard(jsLock);
  uint32_t made = 0;
  if (!jsPrepared) {
    platform::TFileHandle file = platform::InvalidFileHandle;
    using platform::TOpenFlags;
    if (jsNext <= UINT32_MAX &&
        jsOps.Open(platform::ToOsPath(JournalName(static_cast<uint32_t>(jsNext))), TOpenFlags::ofReadWrite | TOpenFlags::ofCreate |
                       TOpenFlags::ofExclusive, platform::DefaultFilePermissions, file) == 0) {
      jsOps.Close(file);
      made = static_cast<uint32_t>(jsNext);
    }
  }
  const int err = jsOps.SyncDirectory(jsOsFolder);
  if (made && err == 0) {
    jsPrepared = made;
  } else if (made) {
    // Its name may not survive a power cut: the journal given this number
    // must not take it for durable.
    jsOps.Unlink(platform::ToOsPath(JournalName(made)));
  }
  return err;
}

void TnxJournalSupply::Unused(uint32_t aNumber) noexcept {
  std::lock_guard<std::mutex> guard(jsLock);
  if (!jsPrepared && uint64_t{aNumber} + 1 == jsNext) {
    // Nothing was handed out since: the number and its file serve the next.
    jsNext = aNumber;
    jsPrepared = aNumber;
  } else {
    jsOps.Unlink(platform::ToOsPath(JournalName(aNumber)));
  }
}

}  // namespace revurov
