#include "storage/journal_engine.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <filesystem>
#include <map>
#include <vector>

#include "lowlevel/errors/error_codes.h"
#include "lowlevel/sync/platform_interface.h"
#include "platform/file_io.h"
#include "platform/os_error.h"
#include "platform/paths.h"
#include "platform/text.h"
#include "storage/file_management.h"
#include "storage/files.h"
#include "storage/journal_supply.h"

namespace revurov {

namespace {

constexpr char kHeaderMagic[4] = {'N', 'X', 'J', 'H'};
constexpr char kEntryMagic[4] = {'N', 'X', 'J', 'R'};
constexpr uint32_t kCompleteFlag = 0xFFFFFFFF;
constexpr uint8_t kBeforeImage = 0xFF;
constexpr uint8_t kAfterImage = 0;
constexpr size_t kMaxName = 255;
constexpr std::u16string_view kNotJournal = u"\"%s\" is not a RevurOV formatted file, or its file header is corrupt";
constexpr std::u16string_view kShortRead = u"INTERNAL: Could not read exact number of bytes from file [%s, %d bytes]";

void PutU32(uint8_t* aAt, uint32_t aValue) { std::memcpy(aAt, &aValue, 4); }
uint32_t GetU32(const uint8_t* aAt) {
  uint32_t value;
  std::memcpy(&value, aAt, 4);
  return value;
}

std::u16string FromUtf8(std::string_view aText) { return platform::Utf8ToUtf16(aText); }

// A name that can only mean a file of the folder itself.
bool PlainName(std::string_view aName) {
  return !aName.empty() && aName.size() <= kMaxName && aName != "." && aName != ".." &&
         aName.find('/') == std::string_view::npos && aName.find('\0') == std::string_view::npos;
}

std::string OsFolder(std::u16string_view aFileName) {
  const std::u16string folder = platform::ExtractFilePath(aFileName);
  return folder.empty() ? std::string(".") : platform::ToOsPath(folder);
}

struct TEntry {
  TnxBlockNumber Number;
  uint8_t Ordinal;
  bool Before;
  std::string Name;
  int64_t ImageAt;
  uint32_t Bytes;
};

struct TJournal {
  std::string OsPath;
  std::u16string Name;  // the full name, for texts
  std::u16string Short;  // the file name alone, for the hook
  uint64_t Number = 0;
  bool Numbered = false;
  int32_t Kind = 0;
};

[[noreturn]] void Damaged(const TJournal& aJournal, std::u16string_view aWhy) {
  throw Enx1xJournalEngineException(nxeCannotOpenFile, u"Journal \"%s\" is damaged: %s", {aJournal.Name, aWhy});
}

// Every entry of a complete journal, checked whole before anything is used.
std::vector<TEntry> ReadEntries(const TJournal& aJournal, platform::TFileOps& aOps, platform::TFileHandle aFile,
                                int64_t aSize) {
  std::vector<TEntry> entries;
  int64_t at = nxJournalHeaderSize;
  while (at < aSize) {
    uint8_t header[nxJournalEntryHeaderSize];
    int64_t done = 0;
    const int err = aOps.ReadAt(aFile, at, header, sizeof header, done);
    if (err != 0 || done != static_cast<int64_t>(sizeof header))
      throw Enx1xJournalEngineException(nxeReadFailure, kShortRead,
                                        {aJournal.Name, static_cast<int64_t>(nxJournalEntryHeaderSize)});
    if (std::memcmp(header, kEntryMagic, 4) != 0) Damaged(aJournal, u"entry without its mark");
    TEntry entry;
    entry.Number = GetU32(header + 4);
    entry.Ordinal = header[8];
    if (entry.Ordinal > nxbs64k) Damaged(aJournal, u"unknown block size");
    if (header[9] != kBeforeImage && header[9] != kAfterImage) Damaged(aJournal, u"unknown image kind");
    if (header[10] != 0 || header[11] != 0) Damaged(aJournal, u"entry header not clean");
    entry.Before = header[9] == kBeforeImage;
    entry.Name.assign(reinterpret_cast<const char*>(header + 13), header[12]);
    if (!PlainName(entry.Name)) Damaged(aJournal, u"data file name outside the folder");
    entry.Bytes = uint32_t{4096} << entry.Ordinal;
    entry.ImageAt = at + nxJournalEntryHeaderSize;
    if (aSize - entry.ImageAt < entry.Bytes)
      throw Enx1xJournalEngineException(nxeReadFailure, kShortRead, {aJournal.Name, static_cast<int64_t>(entry.Bytes)});
    at = entry.ImageAt + entry.Bytes;
    entries.push_back(std::move(entry));
  }
  return entries;
}

// A data file named by a journal: a regular file of the folder, reached
// without any link, in one step with the open so that nothing swapped in
// meanwhile can send the writes elsewhere.
void OpenDataFile(const TJournal& aJournal, const std::string& aFolder, const std::string& aName,
                  platform::TFile& aFile) {
  if (const int err = aFile.OpenBeneath(aFolder, aName, platform::TOpenFlags::ofReadWrite)) {
    if (err == ELOOP || err == EXDEV) Damaged(aJournal, u"data file is a link or outside the folder");
    throw Enx1xJournalEngineException(nxeCannotAccessFile, u"Journal \"%s\": data file %s cannot be opened: %s",
                                      {aJournal.Name, FromUtf8(aName), platform::SysErrorMessage(err)});
  }
  platform::TFileInfo info;
  if (aFile.Ops().GetHandleInfo(aFile.Handle(), info) != 0 || info.Kind != platform::TFileKind::fkFile)
    Damaged(aJournal, u"data file is no regular file");
}

void Replay(const TJournal& aJournal, const std::string& aFolder, platform::TFileOps& aOps,
            platform::TFileHandle aFile, int64_t aSize, bool aRedo) {
  const std::vector<TEntry> entries = ReadEntries(aJournal, aOps, aFile, aSize);
  std::map<std::string, platform::TFile> files;
  std::vector<uint8_t> image;
  for (const TEntry& entry : entries) {
    if (entry.Before == aRedo) continue;
    auto [it, added] = files.try_emplace(entry.Name, aOps);
    if (added) OpenDataFile(aJournal, aFolder, entry.Name, it->second);
    image.resize(entry.Bytes);
    int64_t done = 0;
    int err = aOps.ReadAt(aFile, entry.ImageAt, image.data(), entry.Bytes, done);
    if (err == 0 && done != entry.Bytes) err = EIO;
    if (err == 0)
      err = aOps.WriteAt(it->second.Handle(), static_cast<int64_t>(entry.Number) << (12 + entry.Ordinal), image.data(),
                         entry.Bytes, done);
    if (err != 0)
      throw Enx1xJournalEngineException(nxeWriteFailure, u"Journal \"%s\" could not be replayed: %s",
                                        {aJournal.Name, platform::SysErrorMessage(err)});
  }
  // The data must be durable before the journal that restores it goes.
  for (auto& [name, file] : files) {
    int err = aOps.DataSync(file.Handle());
    if (err == 0) err = file.Close();
    if (err != 0)
      throw Enx1xJournalEngineException(nxeWriteFailure, u"Journal \"%s\" could not be replayed: %s",
                                        {aJournal.Name, platform::SysErrorMessage(err)});
  }
}

void AskHook(TnxJournalState aState, std::u16string_view aAlias, std::u16string_view aPath, const TJournal& aJournal,
             std::u16string_view aText, bool* aAnswer = nullptr) {
  const bool answer = nxPlatformJournalRecoveryDialog(aState, std::u16string(aAlias), std::u16string(aPath),
                                                      aJournal.Short, std::u16string(aText));
  if (aAnswer) *aAnswer = answer;
}

}  // namespace

// ---- writing ----

Tnx1xJournalEngine::Tnx1xJournalEngine(std::u16string aFileName, platform::TFileOps& aOps)
    : TnxBaseJournalEngine(std::move(aFileName)),
      jeOps(aOps),
      jeOsName(platform::ToOsPath(bjeFileName)),
      jeFolder(OsFolder(bjeFileName)) {}

Tnx1xJournalEngine::~Tnx1xJournalEngine() {
  if (jeJournalFile == platform::InvalidFileHandle) {
    if (bjePrepared && !jeInvalidated) bjeSupply->Unused(bjeNumber);
    return;
  }
  jeOps.Close(jeJournalFile);
  // Never completed: it can only be thrown away; a complete one that is
  // still here is needed by Check.
  if (!jeComplete) jeOps.Unlink(jeOsName);
}

void Tnx1xJournalEngine::Raise(std::u16string_view aWhat, int aError) const {
  throw Enx1xJournalEngineException(nxeWriteFailure, u"INTERNAL: %s [%s, error %d, %s]",
                                    {aWhat, bjeFileName, aError, platform::SysErrorMessage(static_cast<uint32_t>(aError))});
}

void Tnx1xJournalEngine::PrepareJournal() {
  using platform::TOpenFlags;
  if (bjePrepared) {
    // Made ahead and empty; cut all the same, so that nothing but our own
    // entries can ever follow the header.
    const int err = jeOps.Open(jeOsName, TOpenFlags::ofReadWrite | TOpenFlags::ofTruncate,
                               platform::DefaultFilePermissions, jeJournalFile);
    if (err == ENOENT)
      bjePrepared = false;  // removed since (a Check): made afresh below, with its folder sync
    else if (err != 0)
      Raise(u"Journal could not be opened", err);
  }
  if (!bjePrepared) {
    const int err = jeOps.Open(jeOsName, TOpenFlags::ofReadWrite | TOpenFlags::ofCreate | TOpenFlags::ofExclusive,
                               platform::DefaultFilePermissions, jeJournalFile);
    if (err != 0) Raise(u"Journal could not be created", err);
  }
  jeWriteHeader(false);
  jeSize = nxJournalHeaderSize;
}

void Tnx1xJournalEngine::jeWriteHeader(bool aComplete) {
  uint8_t header[nxJournalHeaderSize];
  std::memcpy(header, kHeaderMagic, 4);
  PutU32(header + 4, aComplete ? kCompleteFlag : 0);
  PutU32(header + 8, static_cast<uint32_t>(jeJournalKind()));
  int64_t done = 0;
  if (const int err = jeOps.WriteAt(jeJournalFile, 0, header, sizeof header, done)) Raise(u"Journal write failed", err);
}

void Tnx1xJournalEngine::jeSync() {
  if (const int err = jeOps.DataSync(jeJournalFile)) Raise(u"Journal flush failed", err);
}

void Tnx1xJournalEngine::AddBlock(const TnxBaseFile& aFile, TnxBlockNumber aBlockNumber, const uint8_t* aBefore,
                                  const uint8_t* aAfter) {
  const std::string name = platform::ToOsPath(platform::ExtractFileName(aFile.fiName));
  if (!PlainName(name))
    throw Enx1xJournalEngineException(nxeInvalidParameter, u"The file name %s does not fit a journal",
                                      {aFile.fiName});
  // Resolved once per journal: a commit adds every block it changed, and
  // resolving the folder walks it link by link.
  if (jeRealFolder.empty())
    jeRealFolder = platform::ToOsPath(
        platform::IncludeTrailingPathDelimiter(platform::RealFolderPath(platform::ExtractFilePath(bjeFileName))));
  if (platform::ToOsPath(aFile.fiPath) != jeRealFolder)
    throw Enx1xJournalEngineException(nxeInvalidParameter, u"The file %s is not in the folder of journal %s",
                                      {aFile.fiName, bjeFileName});
  const int32_t kind = jeJournalKind();
  if (kind != 1 && aBefore) jeWriteEntry(name, aFile.fiBlockSize, aBlockNumber, true, aBefore, aFile.BlockBytes());
  if (kind != 2) jeWriteEntry(name, aFile.fiBlockSize, aBlockNumber, false, aAfter, aFile.BlockBytes());
}

void Tnx1xJournalEngine::jeWriteEntry(std::string_view aName, TnxBlockSize aBlockSize, TnxBlockNumber aBlockNumber,
                                      bool aBeforeImage, const uint8_t* aImage, uint32_t aBytes) {
  std::array<uint8_t, nxJournalEntryHeaderSize> header{};
  std::memcpy(header.data(), kEntryMagic, 4);
  PutU32(header.data() + 4, aBlockNumber);
  header[8] = static_cast<uint8_t>(aBlockSize);
  header[9] = aBeforeImage ? kBeforeImage : kAfterImage;
  header[12] = static_cast<uint8_t>(aName.size());
  std::memcpy(header.data() + 13, aName.data(), aName.size());
  const platform::TIoPart parts[2] = {{header.data(), nxJournalEntryHeaderSize}, {aImage, aBytes}};
  int64_t done = 0;
  if (const int err = jeOps.WriteVectorAt(jeJournalFile, jeSize, parts, 2, done)) Raise(u"Journal write failed", err);
  jeSize += nxJournalEntryHeaderSize + aBytes;
}

void Tnx1xJournalEngine::FinalizeJournal() {
  // Entries first: a complete flag must never reach the disk before them.
  jeSync();
  jeWriteHeader(true);
  jeSync();
  // The new name too, or a power cut could lose the journal of a commit
  // whose data is already partly written. A name made ahead is durable.
  if (!bjePrepared)
    if (const int err = jeOps.SyncDirectory(jeFolder)) Raise(u"Journal folder flush failed", err);
  jeComplete = true;
}

void Tnx1xJournalEngine::Invalidate() {
  if (jeJournalFile == platform::InvalidFileHandle || jeInvalidated) return;
  jeOps.Close(jeJournalFile);
  jeJournalFile = platform::InvalidFileHandle;
  jeInvalidated = true;
  if (const int err = jeOps.Unlink(jeOsName)) Raise(u"Journal could not be removed", err);
  // Gone for good before the commit is reported: a complete journal that a
  // power cut brings back would undo it. The supply makes the next
  // journal's file under this same sync.
  const int err = bjeSupply ? bjeSupply->Removed() : jeOps.SyncDirectory(jeFolder);
  if (err != 0 && jeComplete) Raise(u"Journal folder flush failed", err);
}

// ---- recovery ----

void Tnx1xJournalEngine::Check(std::u16string_view aAlias, std::u16string_view aPath, int32_t aKind) {
  platform::TFileOps& ops = platform::FileOps();
  const std::u16string folder16 = aPath.empty() ? std::u16string() : platform::IncludeTrailingPathDelimiter(aPath);
  const std::string folder = folder16.empty() ? std::string("./") : platform::ToOsPath(folder16);
  platform::TFileInfo info;
  if (ops.GetInfo(folder, info) != 0 || info.Kind != platform::TFileKind::fkDirectory)
    throw Enx1xJournalEngineException(nxeAliasDirectoryMissing,
                                      u"The alias references a directory that does not exist.");

  std::vector<TJournal> journals;
  std::error_code ec;
  const std::string suffix = "." + platform::ToOsPath(nxJournalExtension);
  for (const auto& item : std::filesystem::directory_iterator(folder, ec)) {
    if (!item.is_regular_file(ec)) continue;
    const std::string name = item.path().filename().string();
    if (name.size() <= suffix.size() || name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0) continue;
    TJournal journal;
    journal.OsPath = folder + name;
    journal.Short = FromUtf8(name);
    journal.Name = folder16 + journal.Short;
    const std::string stem = name.substr(0, name.size() - suffix.size());
    journal.Numbered = stem.size() <= 19 && std::all_of(stem.begin(), stem.end(), [](char c) { return c >= '0' && c <= '9'; });
    if (journal.Numbered) journal.Number = std::stoull(stem);
    journals.push_back(std::move(journal));
  }
  std::sort(journals.begin(), journals.end(), [](const TJournal& a, const TJournal& b) {
    if (a.Numbered != b.Numbered) return a.Numbered;
    return a.Numbered && a.Number != b.Number ? a.Number < b.Number : a.Short < b.Short;
  });

  struct TPending {
    TJournal* Journal;
    bool Redo;
  };
  std::vector<TPending> pending;
  for (TJournal& journal : journals) {
    try {
      platform::TFile file(ops);
      if (const int err = file.Open(journal.OsPath, platform::TOpenFlags::ofRead))
        throw Enx1xJournalEngineException(nxeCannotAccessFile, u"Journal \"%s\" cannot be opened: %s",
                                          {journal.Name, platform::SysErrorMessage(err)});
      uint8_t header[nxJournalHeaderSize] = {};
      int64_t done = 0;
      int err = ops.ReadAt(file.Handle(), 0, header, sizeof header, done);
      if (err != 0)
        throw Enx1xJournalEngineException(nxeReadFailure, kShortRead,
                                          {journal.Name, static_cast<int64_t>(nxJournalHeaderSize)});
      // Made ahead for the next commit: no sign of an interrupted one.
      if (err == 0 && done == 0) {
        file.Close();
        DeleteFileChecked(journal.Name);
        continue;
      }
      // A header cut short by a crash while it was first written, or one
      // that never reached the disk of a file made ahead (it reads as
      // zeros): the complete flag cannot have been durable either.
      const bool unwritten = std::all_of(header, header + done, [](uint8_t b) { return b == 0; });
      const bool torn = unwritten || (done < static_cast<int64_t>(nxJournalHeaderSize) &&
                                      std::memcmp(header, kHeaderMagic, static_cast<size_t>(std::min<int64_t>(done, 4))) == 0);
      if (!torn && std::memcmp(header, kHeaderMagic, 4) != 0)
        throw Enx1xJournalEngineException(nxeCannotOpenFile, kNotJournal, {journal.Name});
      const uint32_t flag = torn ? 0 : GetU32(header + 4);
      journal.Kind = static_cast<int32_t>(GetU32(header + 8));
      if ((flag != 0 && flag != kCompleteFlag) || (!torn && (journal.Kind < 0 || journal.Kind > 2)))
        throw Enx1xJournalEngineException(nxeCannotOpenFile, kNotJournal, {journal.Name});
      if (flag == 0) {
        AskHook(jsIncomplete, aAlias, aPath, journal, u"");
        file.Close();
        DeleteFileChecked(journal.Name);
        continue;
      }
      bool redo = journal.Kind == 1;
      if (journal.Kind == 0) {
        redo = aKind != 2;
        if (aKind == 0) AskHook(jsComplete, aAlias, aPath, journal, u"", &redo);
      }
      pending.push_back({&journal, redo});
    } catch (const EnxBaseException& e) {
      AskHook(jsSkipping, aAlias, aPath, journal, e.Message());
    }
  }

  // Undo newest first, then redo oldest first: journal numbers only grow.
  std::stable_sort(pending.begin(), pending.end(), [](const TPending& a, const TPending& b) {
    if (a.Redo != b.Redo) return !a.Redo;
    return false;
  });
  std::reverse(pending.begin(),
               std::find_if(pending.begin(), pending.end(), [](const TPending& p) { return p.Redo; }));
  for (const TPending& item : pending) {
    TJournal& journal = *item.Journal;
    try {
      platform::TFile file(ops);
      int err = file.Open(journal.OsPath, platform::TOpenFlags::ofRead);
      int64_t size = 0;
      if (err == 0) err = ops.GetSize(file.Handle(), size);
      if (err != 0)
        throw Enx1xJournalEngineException(nxeCannotAccessFile, u"Journal \"%s\" cannot be opened: %s",
                                          {journal.Name, platform::SysErrorMessage(err)});
      Replay(journal, folder, ops, file.Handle(), size, item.Redo);
      file.Close();
      DeleteFileChecked(journal.Name);
    } catch (const EnxBaseException& e) {
      AskHook(jsTrash, aAlias, aPath, journal, e.Message());
      nxPlatformTerminate();
      throw;
    }
  }
}

}  // namespace revurov
