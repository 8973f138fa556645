#include "server/table_file_moves.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "lowlevel/errors/error_codes.h"
#include "platform/directory_list.h"
#include "platform/endian.h"
#include "platform/file_io.h"
#include "platform/file_ops.h"
#include "platform/format.h"
#include "platform/os_error.h"
#include "platform/paths.h"
#include "platform/rtl_exception.h"
#include "platform/text.h"
#include "storage/file_management.h"

namespace revurov {

namespace {

constexpr std::string_view kHead = "RVTM1";
constexpr std::string_view kTail = "END";

void PutString(std::string& aOut, std::string_view aText) {
  const auto size = static_cast<uint32_t>(aText.size());
  for (int i = 0; i < 4; ++i) aOut.push_back(static_cast<char>((size >> (8 * i)) & 0xFF));
  aOut.append(aText);
}

bool GetString(std::string_view& aIn, std::string& aText) {
  if (aIn.size() < 4) return false;
  uint32_t size = 0;
  for (int i = 3; i >= 0; --i) size = (size << 8) | static_cast<uint8_t>(aIn[static_cast<size_t>(i)]);
  aIn.remove_prefix(4);
  if (aIn.size() < size) return false;
  aText.assign(aIn.substr(0, size));
  aIn.remove_prefix(size);
  return true;
}

// A write cut short is told apart from an intent.
uint64_t Checksum(std::string_view aBytes) {
  uint64_t hash = 14695981039346656037ull;
  for (char c : aBytes) hash = (hash ^ static_cast<uint8_t>(c)) * 1099511628211ull;
  return hash;
}

struct Intent {
  std::vector<TnxFileMove> Moves;
  std::vector<std::u16string> Discards;
  std::vector<TnxFileCheck> ForwardWhen;
};

std::string Encode(const std::vector<TnxFileMove>& aMoves, const std::vector<std::u16string>& aDiscards,
                   const std::vector<TnxFileCheck>& aForwardWhen) {
  std::string out(kHead);
  PutString(out, std::to_string(aMoves.size()));
  for (const TnxFileMove& move : aMoves) {
    PutString(out, platform::Utf16ToUtf8(move.From));
    PutString(out, platform::Utf16ToUtf8(move.To));
  }
  PutString(out, std::to_string(aDiscards.size()));
  for (const std::u16string& name : aDiscards) PutString(out, platform::Utf16ToUtf8(name));
  PutString(out, std::to_string(aForwardWhen.size()));
  for (const TnxFileCheck& check : aForwardWhen) {
    PutString(out, platform::Utf16ToUtf8(check.Name));
    PutString(out, check.Exists ? "1" : "0");
  }
  out.append(kTail);
  PutString(out, std::to_string(Checksum(out)));
  return out;
}

bool GetCount(std::string_view& aIn, size_t& aCount) {
  std::string text;
  if (!GetString(aIn, text) || text.empty() || text.size() > 6) return false;
  aCount = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    aCount = aCount * 10 + static_cast<size_t>(c - '0');
  }
  return true;
}

std::optional<Intent> Decode(std::string_view aIn) {
  const size_t tail = aIn.rfind(kTail);
  if (tail == std::string_view::npos) return std::nullopt;
  {
    std::string_view sum = aIn.substr(tail + kTail.size());
    std::string text;
    if (!GetString(sum, text) || !sum.empty() || text != std::to_string(Checksum(aIn.substr(0, tail + kTail.size()))))
      return std::nullopt;
    aIn = aIn.substr(0, tail + kTail.size());
  }
  if (aIn.substr(0, kHead.size()) != kHead) return std::nullopt;
  aIn.remove_prefix(kHead.size());
  Intent intent;
  size_t count = 0;
  if (!GetCount(aIn, count)) return std::nullopt;
  for (size_t i = 0; i < count; ++i) {
    std::string from, to;
    if (!GetString(aIn, from) || !GetString(aIn, to) || from.empty()) return std::nullopt;
    intent.Moves.push_back({platform::Utf8ToUtf16(from), platform::Utf8ToUtf16(to)});
  }
  if (!GetCount(aIn, count)) return std::nullopt;
  for (size_t i = 0; i < count; ++i) {
    std::string name;
    if (!GetString(aIn, name) || name.empty()) return std::nullopt;
    intent.Discards.push_back(platform::Utf8ToUtf16(name));
  }
  if (!GetCount(aIn, count)) return std::nullopt;
  for (size_t i = 0; i < count; ++i) {
    std::string name, exists;
    if (!GetString(aIn, name) || !GetString(aIn, exists) || name.empty() || (exists != "0" && exists != "1"))
      return std::nullopt;
    intent.ForwardWhen.push_back({platform::Utf8ToUtf16(name), exists == "1"});
  }
  if (aIn != kTail) return std::nullopt;
  return intent;
}

std::u16string IntentPath(std::u16string_view aFolder, std::u16string_view aName) {
  return nxCombinePath(aFolder, aName);
}

bool Exists(std::u16string_view aFolder, std::u16string_view aName) {
  return platform::FileExists(platform::ToOsPath(nxCombinePath(aFolder, aName)));
}

[[noreturn]] void Raise(int aError, uint32_t aCode, std::u16string_view aAction,
                        std::initializer_list<platform::TFormatArg> aArgs) {
  platform::SetLastOSError(static_cast<uint32_t>(aError));
  throw nxCreateOSErrorException<EnxFileManagementException>(aCode, u"", aAction, aArgs);
}

// Steps are made durable together by one folder sync after the last: the
// intent is durable before the first, and an opening finishes any subset
// of them that a crash kept.
void Move(std::u16string_view aFolder, std::u16string_view aFrom, std::u16string_view aTo) {
  const std::u16string from = nxCombinePath(aFolder, aFrom);
  const std::u16string to = nxCombinePath(aFolder, aTo);
  if (const int err =
          platform::FileOps().Rename(platform::ToOsPath(from), platform::ToOsPath(to), platform::TRenameMode::rmNoReplace))
    Raise(err, nxeFileRenameFailed, u"RenameFile (from \"%s\" to \"%s\")", {from, to});
}

void Remove(std::u16string_view aFolder, std::u16string_view aName) {
  const std::u16string path = nxCombinePath(aFolder, aName);
  if (const int err = platform::FileOps().Unlink(platform::ToOsPath(path)))
    Raise(err, nxeFileDeleteFailed, u"DeleteFile (\"%s\")", {path});
}

void SyncFolder(std::u16string_view aFolder) {
  if (const int err = platform::FileOps().SyncDirectory(platform::ToOsPath(aFolder)))
    Raise(err, nxeFileRenameFailed, u"SyncDirectory (\"%s\")", {std::u16string(aFolder)});
}

// The file "nxTableMoves.cfg": a header block written once, when the file
// is made (through a durable copy renamed into place, the folder synced),
// then two slots of SlotSize bytes, each on blocks of its own (a torn
// sector never spans both). Each record (sequence number, length,
// plan or nothing, checksum) goes into the slot that does not hold the
// newest valid record, so a write cut short can only tear the record being
// written: the one before it stays readable. The newest valid record is the
// state; one without a plan means nothing is pending. A file that starts as
// a single plan (kHead) comes from an earlier release: it is read and, once
// finished, made over into this layout.
constexpr std::string_view kFileHead = "RVTM2";
constexpr size_t kBlock = 4096;
constexpr size_t kSlotFixed = 8 + 4 + 8;  // sequence, length, checksum

struct IntentFile {
  enum Kind { kMissing, kForeign, kSingle, kSlots } Form = kMissing;
  size_t SlotSize = 0;
  int Live = -1;          // slot of the newest valid record
  uint64_t Sequence = 0;  // its sequence number, 0 for none
  std::optional<Intent> Plan;
};

std::string EncodeRecord(uint64_t aSequence, std::string_view aPlan) {
  std::string out(12, '\0');
  platform::StoreU64(out.data(), aSequence);
  platform::StoreU32(out.data() + 8, static_cast<uint32_t>(aPlan.size()));
  out.append(aPlan);
  const uint64_t sum = Checksum(out);
  out.resize(out.size() + 8);
  platform::StoreU64(out.data() + out.size() - 8, sum);
  return out;
}

// False for a slot never written, torn or foreign.
bool DecodeRecord(std::string_view aSlot, uint64_t& aSequence, std::optional<Intent>& aPlan) {
  if (aSlot.size() < kSlotFixed) return false;
  const uint32_t size = platform::LoadU32(aSlot.data() + 8);
  if (size > aSlot.size() - kSlotFixed) return false;
  const std::string_view body = aSlot.substr(0, 12 + size);
  if (platform::LoadU64(aSlot.data() + 12 + size) != Checksum(body)) return false;
  aSequence = platform::LoadU64(aSlot.data());
  if (aSequence == 0) return false;
  aPlan.reset();
  if (size == 0) return true;
  aPlan = Decode(body.substr(12));
  return aPlan.has_value();
}

std::string EncodeHeader(size_t aSlotSize) {
  std::string out(kFileHead);
  out.resize(kFileHead.size() + 4);
  platform::StoreU32(out.data() + kFileHead.size(), static_cast<uint32_t>(aSlotSize));
  const uint64_t sum = Checksum(out);
  out.resize(out.size() + 8);
  platform::StoreU64(out.data() + out.size() - 8, sum);
  return out;
}

bool DecodeHeader(std::string_view aBytes, size_t& aSlotSize) {
  const size_t size = kFileHead.size() + 4;
  if (aBytes.size() < size + 8 || aBytes.substr(0, kFileHead.size()) != kFileHead) return false;
  if (platform::LoadU64(aBytes.data() + size) != Checksum(aBytes.substr(0, size))) return false;
  aSlotSize = platform::LoadU32(aBytes.data() + kFileHead.size());
  return aSlotSize >= kBlock && aSlotSize % kBlock == 0;
}

IntentFile ReadIntentFile(std::u16string_view aFolder, std::u16string_view aName) {
  IntentFile file;
  const std::optional<std::string> bytes = platform::ReadFileBytes(platform::ToOsPath(IntentPath(aFolder, aName)));
  if (!bytes) return file;
  // An empty file was an earlier release's way of saying "nothing pending".
  if (bytes->empty()) {
    file.Form = IntentFile::kSingle;
    return file;
  }
  if (!DecodeHeader(*bytes, file.SlotSize)) {
    file.Plan = Decode(*bytes);
    file.Form = file.Plan ? IntentFile::kSingle : IntentFile::kForeign;
    return file;
  }
  file.Form = IntentFile::kSlots;
  for (int slot = 0; slot < 2; ++slot) {
    const size_t at = kBlock + static_cast<size_t>(slot) * file.SlotSize;
    if (at >= bytes->size()) break;
    uint64_t sequence = 0;
    std::optional<Intent> plan;
    if (!DecodeRecord(std::string_view(*bytes).substr(at, file.SlotSize), sequence, plan)) continue;
    if (sequence <= file.Sequence) continue;
    file.Live = slot;
    file.Sequence = sequence;
    file.Plan = std::move(plan);
  }
  return file;
}

// Writes aPlan (empty: nothing pending) as the newest record. With aSync
// it is durable on return: one DataSync, or, when the file is missing, of
// another layout or too small for it, one made anew and renamed into
// place. Without aSync a crash may bring back the record before it.
void WriteRecord(std::u16string_view aFolder, std::u16string_view aName, std::string_view aPlan, bool aSync,
                 uint32_t aCode) {
  const std::u16string path = IntentPath(aFolder, aName);
  try {
    const IntentFile file = ReadIntentFile(aFolder, aName);
    const std::string record = EncodeRecord(file.Sequence + 1, aPlan);
    if (file.Form == IntentFile::kSlots && record.size() <= file.SlotSize) {
      const int slot = file.Live == 0 ? 1 : 0;
      platform::TFile out;
      int err = out.Open(platform::ToOsPath(path), platform::TOpenFlags::ofWrite);
      int64_t at = static_cast<int64_t>(kBlock + static_cast<size_t>(slot) * file.SlotSize);
      for (size_t written = 0; err == 0 && written < record.size();) {
        int64_t done = 0;
        err = out.Ops().WriteAt(out.Handle(), at, record.data() + written,
                                static_cast<int64_t>(record.size() - written), done);
        if (err == 0 && done <= 0) err = EIO;
        written += static_cast<size_t>(std::max<int64_t>(done, 0));
        at += done;
      }
      if (err == 0 && aSync) err = out.Ops().DataSync(out.Handle());
      if (err == 0) err = out.Close();
      if (err != 0) Raise(err, aCode, u"WriteFile (\"%s\")", {path});
      return;
    }
    // Room to spare: a larger plan than this makes the file anew.
    const size_t slotSize = std::max(kBlock, (2 * record.size() + kBlock - 1) / kBlock * kBlock);
    std::string image = EncodeHeader(slotSize);
    image.resize(kBlock, '\0');
    image.append(record);
    image.resize(kBlock + 2 * slotSize, '\0');
    platform::ReplaceFileAtomically(platform::ToOsPath(path), image);
  } catch (const platform::EFCreateError& e) {
    throw EnxFileManagementException(aCode, e.Message());
  } catch (const platform::EFOpenError& e) {
    throw EnxFileManagementException(aCode, e.Message());
  }
}

void WriteIntent(std::u16string_view aFolder, std::u16string_view aName, const std::string& aPlan) {
  WriteRecord(aFolder, aName, aPlan, true, nxeFileRenameFailed);
}

// Needs no sync: a crash that loses it brings back a plan whose steps are
// all made (or all undone) and durable, and finishing that again changes
// nothing. The next intent's sync makes it durable before any later plan
// starts. The record goes into the other slot, so a torn one leaves that
// same plan.
void ClearIntent(std::u16string_view aFolder, std::u16string_view aName) {
  WriteRecord(aFolder, aName, {}, false, nxeFileDeleteFailed);
}

// Forward from wherever a crash stopped. The last move whose target is
// there and whose source is gone was the last step made; the steps after
// it are made now, and of those before it the ones a crash lost. A name an
// earlier step freed may be taken again by a later one: such a step is not
// judged by its own names.
void Forward(std::u16string_view aFolder, const std::vector<TnxFileMove>& aMoves) {
  size_t next = 0;
  for (size_t i = aMoves.size(); i-- > 0;) {
    const TnxFileMove& move = aMoves[i];
    if (!move.To.empty() && Exists(aFolder, move.To) && !Exists(aFolder, move.From)) {
      next = i + 1;
      break;
    }
  }
  auto takenLater = [&aMoves](size_t aStep) {
    for (size_t i = aStep + 1; i < aMoves.size(); ++i)
      if (!aMoves[i].To.empty() && platform::AsciiSameText(aMoves[i].To, aMoves[aStep].From)) return true;
    return false;
  };
  for (size_t i = 0; i < aMoves.size(); ++i) {
    const TnxFileMove& move = aMoves[i];
    if (i < next && takenLater(i)) continue;
    if (!Exists(aFolder, move.From)) continue;
    if (move.To.empty())
      Remove(aFolder, move.From);
    else if (!Exists(aFolder, move.To))
      Move(aFolder, move.From, move.To);
  }
  SyncFolder(aFolder);
}

// Back from wherever a crash stopped: every move done is undone, last
// first, and what was made for the steps goes.
void Back(std::u16string_view aFolder, const std::vector<TnxFileMove>& aMoves, size_t aDone,
          const std::vector<std::u16string>& aDiscards) {
  for (size_t i = aDone; i-- > 0;) {
    const TnxFileMove& move = aMoves[i];
    if (move.To.empty() || !Exists(aFolder, move.To) || Exists(aFolder, move.From)) continue;
    Move(aFolder, move.To, move.From);
  }
  for (const std::u16string& name : aDiscards)
    if (Exists(aFolder, name)) Remove(aFolder, name);
  SyncFolder(aFolder);
}

bool GoesForward(std::u16string_view aFolder, const Intent& aIntent) {
  if (aIntent.Moves.empty()) return false;
  if (aIntent.ForwardWhen.empty()) {
    const TnxFileMove& first = aIntent.Moves.front();
    if (first.To.empty()) return !Exists(aFolder, first.From);
    return Exists(aFolder, first.To) && !Exists(aFolder, first.From);
  }
  for (const TnxFileCheck& check : aIntent.ForwardWhen)
    if (Exists(aFolder, check.Name) == check.Exists) return true;
  return false;
}

}  // namespace

TnxFileMoves::TnxFileMoves(std::u16string_view aFolder, std::vector<TnxFileMove> aMoves,
                           std::vector<std::u16string> aDiscards, std::vector<TnxFileCheck> aForwardWhen, std::u16string_view aIntentName)
    : fmFolder(aFolder),
      fmIntentName(aIntentName),
      fmMoves(std::move(aMoves)),
      fmDiscards(std::move(aDiscards)),
      fmForwardWhen(std::move(aForwardWhen)) {}

void TnxFileMoves::Announce() {
  // The files made for the steps must hold their data before any step
  // makes them part of a table.
  for (const std::u16string& name : fmDiscards) {
    const std::u16string path = nxCombinePath(fmFolder, name);
    platform::TFile file;
    int err = file.Open(platform::ToOsPath(path), platform::TOpenFlags::ofRead);
    if (err == 0) err = platform::FileOps().DataSync(file.Handle());
    if (err != 0) {
      platform::SetLastOSError(static_cast<uint32_t>(err));
      throw nxCreateOSErrorException<EnxFileManagementException>(nxeFileRenameFailed, u"", u"Sync (\"%s\")", {path});
    }
  }
  WriteIntent(fmFolder, fmIntentName, Encode(fmMoves, fmDiscards, fmForwardWhen));
  fmAnnounced = true;
}

void TnxFileMoves::AnnounceDiscards() {
  WriteIntent(fmFolder, fmIntentName, Encode({}, fmDiscards, {}));
  fmAnnounced = true;
}

void TnxFileMoves::Abandon() {
  Back(fmFolder, fmMoves, 0, fmDiscards);
  if (fmAnnounced) ClearIntent(fmFolder, fmIntentName);
  fmAnnounced = false;
}

void TnxFileMoves::Keep() {
  if (!fmAnnounced) return;
  fmAnnounced = false;
  const IntentFile file = ReadIntentFile(fmFolder, fmIntentName);
  if (!file.Plan || !file.Plan->Moves.empty() || file.Plan->Discards != fmDiscards) return;
  // Synced: a lost clear would delete the kept files at the next open.
  WriteRecord(fmFolder, fmIntentName, {}, true, nxeFileDeleteFailed);
}

void TnxFileMoves::Run() {
  if (!fmAnnounced) Announce();
  size_t done = 0;
  bool deleted = false;
  try {
    for (const TnxFileMove& move : fmMoves) {
      if (move.To.empty()) {
        deleted = true;
        Remove(fmFolder, move.From);
      } else {
        Move(fmFolder, move.From, move.To);
      }
      ++done;
    }
    SyncFolder(fmFolder);
  } catch (...) {
    if (!deleted) {
      try {
        Back(fmFolder, fmMoves, std::min(done + 1, fmMoves.size()), fmDiscards);
        ClearIntent(fmFolder, fmIntentName);
        fmAnnounced = false;
      } catch (...) {
        // The intent stays: the folder's next open finishes forward or back.
      }
    }
    throw;
  }
  ClearIntent(fmFolder, fmIntentName);
  fmAnnounced = false;
}

void nxRunFileMoves(std::u16string_view aFolder, std::vector<TnxFileMove> aMoves) {
  if (aMoves.empty()) return;
  TnxFileMoves moves(aFolder, std::move(aMoves));
  moves.Run();
}

namespace {

bool FinishIntent(std::u16string_view aFolder, std::u16string_view aName) {
  const IntentFile file = ReadIntentFile(aFolder, aName);
  // Written whole or not at all: a foreign file under that name is kept.
  if (!file.Plan) return false;
  const Intent& found = *file.Plan;
  if (GoesForward(aFolder, found))
    Forward(aFolder, found.Moves);
  else
    Back(aFolder, found.Moves, found.Moves.size(), found.Discards);
  ClearIntent(aFolder, aName);
  return true;
}

bool IsTaskIntent(std::string_view aName) {
  const std::string prefix = platform::Utf16ToUtf8(kTaskIntentPrefix);
  return aName.size() > prefix.size() + 4 && aName.substr(0, prefix.size()) == prefix &&
         aName.substr(aName.size() - 4) == ".cfg";
}

}  // namespace

std::u16string nxTaskIntentName(std::u16string_view aTableName) {
  return std::u16string(kTaskIntentPrefix) + std::u16string(aTableName) + u".cfg";
}

bool nxFileMovesPending(std::u16string_view aFolder, std::u16string_view aIntentName) {
  return ReadIntentFile(aFolder, aIntentName).Plan.has_value();
}

void nxDropTaskIntent(std::u16string_view aFolder, std::u16string_view aIntentName, bool aKeepPending) {
  const std::u16string path = IntentPath(aFolder, aIntentName);
  if (aKeepPending && ReadIntentFile(aFolder, aIntentName).Plan) return;
  if (platform::FileExists(platform::ToOsPath(path))) Remove(aFolder, aIntentName);
}

bool nxFinishFileMoves(std::u16string_view aFolder) {
  // A copy being written when the process ended never became the intent.
  std::vector<std::string> names;
  const std::string prefix = platform::Utf16ToUtf8(kFileMovesIntentName) + ".tmp";
  std::vector<std::u16string> tasks;
  if (platform::ListFolderFiles(platform::ToOsPath(aFolder), names) == 0)
    for (const std::string& name : names) {
      const bool taskCopy = name.find(".cfg.tmp") != std::string::npos &&
                            IsTaskIntent(name.substr(0, name.find(".cfg.tmp") + 4));
      if ((name.size() > prefix.size() && name.compare(0, prefix.size(), prefix) == 0) || taskCopy)
        Remove(aFolder, platform::Utf8ToUtf16(name));
      else if (IsTaskIntent(name))
        tasks.push_back(platform::Utf8ToUtf16(name));
    }
  const bool finished = FinishIntent(aFolder, kFileMovesIntentName);
  // A task's intent outlives nothing but the task: once finished it goes.
  for (const std::u16string& name : tasks) {
    FinishIntent(aFolder, name);
    Remove(aFolder, name);
  }
  return finished || !tasks.empty();
}

}  // namespace revurov
