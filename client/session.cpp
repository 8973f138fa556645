#include "client/session.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <typeinfo>
#include <utility>
#include <vector>

#include "client/database.h"
#include "client/timeout_batch_scope.h"
#include "client/trans_context.h"
#include "dictionary/engine_types.h"
#include "engine/abstract_session.h"
#include "engine/name_rules.h"
#include "engine/server_engine.h"
#include "lowlevel/components/component_notifications.h"
#include "lowlevel/errors/error_codes.h"
#include "lowlevel/errors/exceptions.h"
#include "lowlevel/streams/memory_stream.h"
#include "lowlevel/sync/platform_interface.h"
#include "lowlevel/wide_strings/utils_convert.h"
#include "platform/locale.h"
#include "platform/locale_text.h"
#include "platform/string_list.h"
#include "platform/text.h"

namespace revurov {

std::u16string nxDefaultUserName;
std::u16string nxDefaultPassword;

namespace {

constexpr std::u16string_view kConnectedFrom = u"direct";
constexpr std::u16string_view kDefaultSessionElsewhere = u"Default session has been used in another thread";
constexpr std::u16string_view kDefaultLocaleOption = u"SQL_DEFAULT_LOCALE";
constexpr std::u16string_view kRegistryPath = u"<Registry>";

// Guards every thread's slot and every session's reference into one: a
// slot ends with its thread, a session may be destroyed on any thread.
// Constant-initialised, so it outlives the main thread's slot.
std::mutex gDefaultSlotLock;

}  // namespace

struct TnxDefaultSessionSlot {
  TnxBaseSession* Session = nullptr;

  ~TnxDefaultSessionSlot() {
    std::lock_guard<std::mutex> guard(gDefaultSlotLock);
    if (Session) Session->bsDefaultRef = nullptr;
    Session = nullptr;
  }
};

namespace {
thread_local TnxDefaultSessionSlot tlsDefaultSession;
}  // namespace

TnxBaseSession::TnxBaseSession(platform::TComponent* aOwner) : TnxDataAccessStateComponent(aOwner) {}

TnxBaseSession::~TnxBaseSession() {
  LeaveDefaultSlot();
  // Free tells whoever registered that the session is gone.
  if (TnxSessionNotifications* notifications = bsSessionNotifications.exchange(nullptr)) notifications->Free();
}

void TnxBaseSession::BeforeDestruction() {
  LeaveDefaultSlot();
  TnxDataAccessStateComponent::BeforeDestruction();
}

void TnxBaseSession::LeaveDefaultSlot() noexcept {
  std::lock_guard<std::mutex> guard(gDefaultSlotLock);
  if (bsDefaultRef && bsDefaultRef->Session == this) bsDefaultRef->Session = nullptr;
  bsDefaultRef = nullptr;
}

platform::HRESULT TnxBaseSession::QueryInterface(const platform::TGUID& iid, void** obj) noexcept {
  if (!obj) return platform::E_NOINTERFACE;
  *obj = nullptr;
  if (iid == platform::IInterface::IID || iid == InxSessionRequests::IID)
    *obj = static_cast<InxSessionRequests*>(this);
  else if (iid == InxClassActivator::IID)
    *obj = static_cast<InxClassActivator*>(this);
  else if (iid == InxSessionNotifier::IID)
    *obj = static_cast<InxSessionNotifier*>(this);
  else if (iid == InxSessionNotifications::IID) {
    try {
      *obj = SessionNotifications();
    } catch (...) {
      *obj = nullptr;
    }
  }
  return *obj ? platform::S_OK : platform::E_NOINTERFACE;
}

uint32_t TnxBaseSession::GetEffectiveTimeout() const {
  return bsTimeout < 0 ? nxDefaultSessionTimeout : static_cast<uint32_t>(bsTimeout);
}

void TnxBaseSession::RequireServerEngine() {
  if (!GetServerEngine()) RaiseError(nxeNotConnected);
}

void TnxBaseSession::ApplyTimeout() {
  TnxAbstractSession* session = bsAbstractSession.get();
  if (!session) return;
  TnxTimeoutBatchScope batch(*session);
  session->SetTimeout(GetEffectiveTimeout());
  for (TnxDatabase* database : bsDatabases) database->ApplyTimeout();
  for (TnxTransContext* context : bsTransContexts) context->ApplyTimeout();
}

void TnxBaseSession::SetUserName(std::u16string_view aValue) {
  if (aValue == bsUserName) return;
  CheckInactive();
  bsUserName = aValue;
}

void TnxBaseSession::SetPassword(std::u16string_view aValue) {
  if (aValue == bsPassword) return;
  CheckInactive();
  bsPassword = aValue;
}

void TnxBaseSession::SetTimeout(int32_t aValue) {
  if (aValue == bsTimeout) return;
  bsTimeout = aValue;
  ApplyTimeout();
}

void TnxBaseSession::SetClientLocaleAsDefault(bool aValue) {
  if (aValue == bsClientLocaleAsDefault) return;
  CheckInactive();
  bsClientLocaleAsDefault = aValue;
}

// ---- default session ----

bool TnxBaseSession::Default() const {
  std::lock_guard<std::mutex> guard(gDefaultSlotLock);
  const bool isDefault = tlsDefaultSession.Session == this;
  if (isDefault != (bsDefaultRef != nullptr) || (isDefault && bsDefaultRef != &tlsDefaultSession))
    RaiseError(nxeIllegalReentry, kDefaultSessionElsewhere);
  return isDefault;
}

void TnxBaseSession::SetDefault(bool aValue) {
  if (aValue == Default()) return;
  std::lock_guard<std::mutex> guard(gDefaultSlotLock);
  TnxDefaultSessionSlot& slot = tlsDefaultSession;
  if (aValue) {
    if (slot.Session) slot.Session->bsDefaultRef = nullptr;
    slot.Session = this;
    bsDefaultRef = &slot;
  } else {
    slot.Session = nullptr;
    bsDefaultRef = nullptr;
  }
}

TnxBaseSession* TnxBaseSession::DefaultSession() {
  std::lock_guard<std::mutex> guard(gDefaultSlotLock);
  return tlsDefaultSession.Session;
}

// ---- notifications ----

InxSessionNotifications* TnxBaseSession::SessionNotifications() {
  TnxSessionNotifications* current = bsSessionNotifications.load(std::memory_order_acquire);
  if (current) return current;
  TnxSessionNotifications* made =
      nxCreate<TnxSessionNotifications>(static_cast<platform::IInterface*>(static_cast<InxSessionRequests*>(this)));
  if (!bsSessionNotifications.compare_exchange_strong(current, made, std::memory_order_acq_rel)) {
    made->Free();
    return current;
  }
  // Only the winner registers, so the engine session hears of us once.
  if (TnxAbstractSession* session = bsAbstractSession.get()) {
    void* engineNotifications = nullptr;
    if (session->QueryInterface(InxSessionNotifications::IID, &engineNotifications) == platform::S_OK &&
        engineNotifications)
      static_cast<InxSessionNotifications*>(engineNotifications)->RegisterNotifier(this);
  }
  return made;
}

void TnxBaseSession::SessionDisconnected() {
  if (TnxSessionNotifications* notifications = bsSessionNotifications.load(std::memory_order_acquire))
    notifications->Disconnected();
}

// ---- state ----

void TnxBaseSession::DoInitialize() {
  RequireServerEngine();
  TnxDataAccessStateComponent::DoInitialize();
}

uint32_t TnxBaseSession::OpenEngineSession(std::u16string_view aUserName, std::u16string_view aPassword) {
  bsAbstractSession.reset();
  // Only a text that this reply brings may go into the exception: a failed
  // start before leaves its own text in the thread's slot.
  EnxBaseException::SetLastConvertedException(0, u"");
  TnxAbstractServerObject* opened = nullptr;
  const uint32_t result =
      GetServerEngine()->SessionOpen(opened, aUserName, aPassword, kConnectedFrom, GetEffectiveTimeout());
  if (!opened) return result;
  TnxServerObjectPtr<TnxAbstractServerObject> owned(opened);
  auto* session = dynamic_cast<TnxAbstractSession*>(opened);
  // An engine that answers a failure and a session at once keeps nothing.
  if (result != 0 || !session) return result != 0 ? result : nxeInvalidParameter;
  owned.release();
  bsAbstractSession.reset(session);
  return 0;
}

void TnxBaseSession::DoStart() {
  TnxDataAccessStateComponent::DoStart();
  std::u16string user = bsUserName.empty() ? nxDefaultUserName : bsUserName;
  std::u16string password = bsPassword.empty() ? nxDefaultPassword : bsPassword;
  try {
    uint32_t result = OpenEngineSession(user, password);
    for (int32_t n = 0; n < bsPasswordRetries && result == nxeUnknownUserOrPassword; ++n) {
      if (bsBeepOnLoginError) nxPlatformBeep();
      if (!DoLogin(user, password)) break;
      result = OpenEngineSession(user, password);
    }
    CheckError(result);
    if (bsSessionNotifications.load(std::memory_order_acquire)) {
      void* engineNotifications = nullptr;
      if (bsAbstractSession->QueryInterface(InxSessionNotifications::IID, &engineNotifications) == platform::S_OK &&
          engineNotifications)
        static_cast<InxSessionNotifications*>(engineNotifications)->RegisterNotifier(this);
    }
    if (bsClientLocaleAsDefault)
      bsAbstractSession->OptionSet(kDefaultLocaleOption, nxIntToStr(static_cast<int32_t>(platform::GetThreadLocale())));
  } catch (...) {
    bsAbstractSession.reset();
    throw;
  }
  bsCurrentUserName = std::move(user);
}

bool TnxBaseSession::DoLogin(std::u16string& aUserName, std::u16string& aPassword) {
  if (OnLogin) {
    bool result = false;
    OnLogin(this, aUserName, aPassword, result);
    return result;
  }
  if (!nxPlatformLogonDialog || !nxIsMainThread()) return false;
  TnxBaseServerEngine* engine = GetServerEngine();
  return nxPlatformLogonDialog(engine ? engine->ServerName() : std::u16string(), aUserName, aPassword);
}

void TnxBaseSession::DoStop() {
  SessionDisconnected();
  bsCurrentUserName.clear();
  bsAbstractSession.reset();
  TnxDataAccessStateComponent::DoStop();
}

// ---- aliases ----

namespace {

// A key's hash, taken a word at a time: the names are a dozen bytes or
// so, for which the library's byte-wise hash costs more than the probe.
size_t HashKey(std::string_view aKey) noexcept {
  uint64_t h = 0x9E3779B97F4A7C15ull ^ aKey.size();
  size_t i = 0;
  for (; i + 8 <= aKey.size(); i += 8) {
    uint64_t word;
    std::memcpy(&word, aKey.data() + i, 8);
    h = (h ^ word) * 0xFF51AFD7ED558CCDull;
    h ^= h >> 32;
  }
  // The last eight bytes, overlapping the words taken: a copy of a varying
  // length would be a call and a stalled load for every name.
  uint64_t tail = 0;
  if (aKey.size() >= 8) {
    std::memcpy(&tail, aKey.data() + aKey.size() - 8, 8);
  } else {
    for (; i < aKey.size(); ++i) tail = (tail << 8) | static_cast<uint8_t>(aKey[i]);
  }
  // A product carries a byte's bits upwards only: the high half folded
  // back and mixed again, so the table's low bits see every byte.
  h = (h ^ tail) * 0xC4CEB9FE1A85EC53ull;
  h = (h ^ (h >> 32)) * 0xFF51AFD7ED558CCDull;
  return static_cast<size_t>(h ^ (h >> 29));
}

// A set of byte strings: their bytes in one buffer, open addressing over
// slots of eight bytes (part of the hash and the entry's number), so the
// table of a thousand names stays in the first-level cache. A node-based
// set costs an allocation and a pointer chase per name, which for a
// thousand names is most of the merge.
class TKeySet {
public:
  void Reserve(size_t aCount) {
    if (aCount * 2 > ksSlots.size()) Rehash(aCount * 2);
    ksEntries.reserve(aCount);
    ksBytes.reserve(aCount * 16);
  }
  // True when aKey was not in the set yet.
  bool Insert(std::string_view aKey) {
    if ((ksEntries.size() + 1) * 2 > ksSlots.size()) Rehash((ksEntries.size() + 1) * 2);
    const size_t hash = HashKey(aKey);
    const uint32_t tag = static_cast<uint32_t>(hash >> 32);
    const size_t mask = ksSlots.size() - 1;
    for (size_t i = hash & mask;; i = (i + 1) & mask) {
      TSlot& slot = ksSlots[i];
      if (slot.entry == 0) {
        ksEntries.push_back({hash, ksBytes.size(), aKey.size()});
        ksBytes.append(aKey);
        slot = {tag, static_cast<uint32_t>(ksEntries.size())};
        return true;
      }
      if (slot.tag == tag && KeyOf(ksEntries[slot.entry - 1]) == aKey) return false;
    }
  }
  std::vector<std::string> Keys() const {
    std::vector<std::string> keys;
    keys.reserve(ksEntries.size());
    for (const TEntry& entry : ksEntries) keys.emplace_back(KeyOf(entry));
    return keys;
  }
  void Clear() {
    if (!ksEntries.empty()) std::fill(ksSlots.begin(), ksSlots.end(), TSlot{});
    ksEntries.clear();
    ksBytes.clear();
  }
  size_t Footprint() const noexcept {
    return ksSlots.capacity() * sizeof(TSlot) + ksEntries.capacity() * sizeof(TEntry) + ksBytes.capacity();
  }

private:
  struct TSlot {
    uint32_t tag = 0;
    uint32_t entry = 0;  // 1-based; 0 when the slot is free
  };
  struct TEntry {
    size_t hash;
    size_t offset;
    size_t length;
  };
  std::string_view KeyOf(const TEntry& aEntry) const {
    return std::string_view(ksBytes).substr(aEntry.offset, aEntry.length);
  }
  // To a power of two of at least aMinimum slots, the entries placed anew.
  void Rehash(size_t aMinimum) {
    size_t size = 16;
    while (size < aMinimum) size *= 2;
    ksSlots.assign(size, TSlot{});
    for (size_t e = 0; e < ksEntries.size(); ++e) {
      const size_t hash = ksEntries[e].hash;
      for (size_t i = hash & (size - 1);; i = (i + 1) & (size - 1)) {
        if (ksSlots[i].entry == 0) {
          ksSlots[i] = {static_cast<uint32_t>(hash >> 32), static_cast<uint32_t>(e + 1)};
          break;
        }
      }
    }
  }

  std::vector<TSlot> ksSlots;
  std::vector<TEntry> ksEntries;
  std::string ksBytes;
};

// The engine session's names, held in one buffer until the listing has
// succeeded: a reply that breaks off must leave the caller's list as it was.
class TStagedNames : public TnxAliasNameSink {
public:
  void AliasName(std::u16string_view aName) override {
    snText.append(aName);
    snEnds.push_back(snText.size());
  }
  size_t Count() const noexcept { return snEnds.size(); }
  std::u16string_view Name(size_t aIndex) const noexcept {
    const size_t begin = aIndex == 0 ? 0 : snEnds[aIndex - 1];
    return std::u16string_view(snText).substr(begin, snEnds[aIndex] - begin);
  }
  void Clear() noexcept {
    snText.clear();
    snEnds.clear();
  }
  size_t Footprint() const noexcept { return snText.capacity() * sizeof(char16_t) + snEnds.capacity() * sizeof(size_t); }

private:
  std::u16string snText;
  std::vector<size_t> snEnds;
};

// The merge's buffers, kept per thread: made afresh, a listing of a
// thousand names allocates and frees blocks large enough to make the
// allocator sweep every small block freed since.
struct TAliasMergeMemory {
  TStagedNames Names;
  TKeySet Keys;
  bool InUse = false;
};

thread_local TAliasMergeMemory tlsAliasMerge;

// Lends the thread's merge buffers, emptied; a merge nested in another on
// the same thread (an extender's or a change handler's) gets its own.
class TAliasMergeLoan {
public:
  TAliasMergeLoan() {
    if (tlsAliasMerge.InUse) {
      amOwn = std::make_unique<TAliasMergeMemory>();
      amMemory = amOwn.get();
    }
    amMemory->InUse = true;
    amMemory->Names.Clear();
    amMemory->Keys.Clear();
  }
  ~TAliasMergeLoan() {
    if (amOwn) return;
    amMemory->InUse = false;
    // One listing of a huge list does not pin its memory to the thread.
    constexpr size_t kKeptBytes = size_t{1} << 20;
    if (amMemory->Names.Footprint() + amMemory->Keys.Footprint() > kKeptBytes) {
      amMemory->Names = TStagedNames();
      amMemory->Keys = TKeySet();
    }
  }
  TAliasMergeLoan(const TAliasMergeLoan&) = delete;
  TAliasMergeLoan& operator=(const TAliasMergeLoan&) = delete;

  TStagedNames& Names() noexcept { return amMemory->Names; }
  TKeySet& Keys() noexcept { return amMemory->Keys; }

private:
  std::unique_ptr<TAliasMergeMemory> amOwn;
  TAliasMergeMemory* amMemory = &tlsAliasMerge;
};

// The bytes of a text as they stand: equal exactly when the code units are.
std::string_view CodeUnitKey(std::u16string_view aText) noexcept {
  return std::string_view(reinterpret_cast<const char*>(aText.data()), aText.size() * sizeof(char16_t));
}

// What a list holds, by the list's own comparison, without a search per
// name. A plain list compares by the user's collation: there equal texts
// are those with equal sort keys (without case) or equal code units (with
// case), made once per text. Without case, texts of printable ASCII take
// the cheap folded key, which is exact among such texts alone; the first
// other text turns every key held so far into a sort key (a folded key's
// text collates as the text it came from). A list with a comparison of its
// own is asked through an ordered set.
class TAliasesHeld {
public:
  TAliasesHeld(const platform::TStringList& aList, TKeySet& aKeys, size_t aExpected)
      : ahList(aList), ahPlain(typeid(aList) == typeid(platform::TStringList)), ahKeys(aKeys),
        ahOrdered([this](const std::u16string& a, const std::u16string& b) { return ahList.CompareStrings(a, b) < 0; }) {
    if (ahPlain) ahKeys.Reserve(aExpected);
  }

  // True when the list did not hold aName yet.
  bool Insert(std::u16string_view aName) {
    if (!ahPlain) return ahOrdered.emplace(aName).second;
    if (ahList.CaseSensitive()) return ahKeys.Insert(CodeUnitKey(aName));
    if (ahFolded) {
      if (platform::AnsiTextAsciiKey(aName, ahKey)) return ahKeys.Insert(ahKey);
      const std::vector<std::string> folded = ahKeys.Keys();
      ahKeys.Clear();
      for (const std::string& key : folded) ahKeys.Insert(platform::AnsiTextSortKey(std::u16string(key.begin(), key.end())));
      ahFolded = false;
    }
    return ahKeys.Insert(platform::AnsiTextSortKey(aName));
  }

private:
  const platform::TStringList& ahList;
  const bool ahPlain;
  TKeySet& ahKeys;
  // ahKeys holds folded keys until a text needs a sort key.
  bool ahFolded = true;
  std::string ahKey;
  std::set<std::u16string, std::function<bool(const std::u16string&, const std::u16string&)>> ahOrdered;
};

}  // namespace

uint32_t TnxBaseSession::AddAliasEx(std::u16string_view aName, std::u16string_view aPath, bool aEnforce) {
  if (uint32_t result = nxValidateAliasName(aName, false)) return result;
  if (aPath.empty()) return nxeInvalidParameter;
  CheckStarted();
  return bsAbstractSession->AliasAdd(aName, aPath, aEnforce);
}

void TnxBaseSession::AddAlias(std::u16string_view aName, std::u16string_view aPath, bool aEnforce) {
  CheckError(AddAliasEx(aName, aPath, aEnforce));
}

uint32_t TnxBaseSession::DeleteAliasEx(std::u16string_view aName) {
  if (uint32_t result = nxValidateAliasName(aName, true)) return result;
  CheckStarted();
  return bsAbstractSession->AliasDelete(aName);
}

void TnxBaseSession::DeleteAlias(std::u16string_view aName) { CheckError(DeleteAliasEx(aName)); }

uint32_t TnxBaseSession::ModifyAliasEx(std::u16string_view aName, std::u16string_view aNewName,
                                       std::u16string_view aNewPath, bool aEnforce) {
  if (uint32_t result = nxValidateAliasName(aName, true)) return result;
  if (aNewName.empty() && aNewPath.empty()) return nxeInvalidParameter;
  CheckStarted();
  return bsAbstractSession->AliasModify(aName, aNewName, aNewPath, aEnforce);
}

void TnxBaseSession::ModifyAlias(std::u16string_view aName, std::u16string_view aNewName,
                                 std::u16string_view aNewPath, bool aEnforce) {
  CheckError(ModifyAliasEx(aName, aNewName, aNewPath, aEnforce));
}

uint32_t TnxBaseSession::GetAliasPathEx(std::u16string_view aName, std::u16string& aPath) {
  aPath.clear();
  if (uint32_t result = nxValidateAliasName(aName, true)) return result;
  CheckStarted();
  return bsAbstractSession->AliasGetPath(aName, aPath);
}

std::u16string TnxBaseSession::GetAliasPath(std::u16string_view aName) {
  std::u16string path;
  CheckError(GetAliasPathEx(aName, path));
  return path;
}

bool TnxBaseSession::IsAlias(std::u16string_view aName) {
  std::u16string path;
  return GetAliasPathEx(aName, path) == 0 && !path.empty();
}

uint32_t TnxBaseSession::GetAliasNamesEx(platform::TStringList* aList, bool aEmptyList) {
  if (!aList) return nxeInvalidParameter;
  CheckStarted();
  struct Update {
    platform::TStringList& list;
    explicit Update(platform::TStringList& l) : list(l) { list.BeginUpdate(); }
    ~Update() { list.EndUpdate(); }
  } update(*aList);
  // An unsorted list to be emptied is written over line by line and cut to
  // the names taken, on every way out.
  struct Refill {
    platform::TStringList* list;  // nil: the list is added to
    int filled = 0;
    ~Refill() {
      if (list) list->Truncate(filled);
    }
  } refill{aEmptyList && !aList->Sorted() ? aList : nullptr};
  if (aEmptyList && !refill.list) aList->Clear();
  TAliasMergeLoan memory;
  TStagedNames& names = memory.Names();
  if (uint32_t result = bsAbstractSession->AliasGetNames(names)) return result;
  const int heldBefore = refill.list ? 0 : aList->Count();
  TAliasesHeld held(*aList, memory.Keys(), static_cast<size_t>(heldBefore) + names.Count());
  for (int i = 0; i < heldBefore; ++i) held.Insert(aList->Strings(i));
  for (size_t i = 0; i < names.Count(); ++i) {
    const std::u16string_view name = names.Name(i);
    if (!held.Insert(name)) continue;
    if (refill.list) {
      std::u16string& line = refill.list->RefillLine(refill.filled++, name.size());
      std::copy(name.begin(), name.end(), line.begin());
    } else {
      aList->AddText(name);
    }
  }
  return 0;
}

void TnxBaseSession::GetAliasNames(platform::TStringList* aList) { CheckError(GetAliasNamesEx(aList, true)); }

// ---- tables ----

namespace {

uint32_t CheckTableArguments(std::u16string_view aAliasName, std::u16string_view aTableName) {
  if (uint32_t result = nxValidateAliasName(aAliasName, true)) return result;
  return nxValidateTablePath(aTableName, true, true);
}

}  // namespace

uint32_t TnxBaseSession::TableStreamReadEx(std::u16string_view aAliasName, std::u16string_view aTableName,
                                           std::u16string_view aPassword, std::u16string_view aStreamName,
                                           platform::TStream& aStream) {
  CheckStarted();
  if (uint32_t result = CheckTableArguments(aAliasName, aTableName)) return result;
  return bsAbstractSession->TableStreamRead(aAliasName, aTableName, aPassword, aStreamName, aStream);
}

std::unique_ptr<platform::TStream> TnxBaseSession::TableStreamRead(std::u16string_view aAliasName,
                                                                   std::u16string_view aTableName,
                                                                   std::u16string_view aPassword,
                                                                   std::u16string_view aStreamName) {
  auto stream = std::make_unique<TnxMemoryStream>();
  CheckError(TableStreamReadEx(aAliasName, aTableName, aPassword, aStreamName, *stream));
  return stream;
}

uint32_t TnxBaseSession::TableStreamWriteEx(std::u16string_view aAliasName, std::u16string_view aTableName,
                                            std::u16string_view aPassword, std::u16string_view aStreamName,
                                            platform::TStream& aStream) {
  CheckStarted();
  if (uint32_t result = CheckTableArguments(aAliasName, aTableName)) return result;
  return bsAbstractSession->TableStreamWrite(aAliasName, aTableName, aPassword, aStreamName, aStream);
}

void TnxBaseSession::TableStreamWrite(std::u16string_view aAliasName, std::u16string_view aTableName,
                                      std::u16string_view aPassword, std::u16string_view aStreamName,
                                      platform::TStream& aStream) {
  CheckError(TableStreamWriteEx(aAliasName, aTableName, aPassword, aStreamName, aStream));
}

bool TnxBaseSession::TableExists(std::u16string_view aAliasName, std::u16string_view aTableName,
                                 std::u16string_view aPassword) {
  CheckStarted();
  CheckError(nxValidateAliasName(aAliasName, true));
  CheckError(nxValidateTablePath(aTableName, true, true));
  // Asking the server directly spares opening a database for one question;
  // an implicit database that is open already answers itself.
  TnxDatabase* database = GetImplicitDatabase(aAliasName, false);
  if (database && database->Active()) return database->TableExists(aTableName, aPassword);
  bool exists = false;
  // The answer alone counts; a failed question reads as "no".
  bsAbstractSession->TableExists(aAliasName, aTableName, aPassword, exists, false);
  return exists;
}

// ---- databases ----

namespace {

// Opens a database for one operation and sets its Active back afterwards,
// on every path.
class TActiveRestore {
public:
  explicit TActiveRestore(TnxDatabase& aDatabase) : arDatabase(aDatabase), arWasActive(aDatabase.Active()) {
    arDatabase.SetActive(true);
  }
  ~TActiveRestore() {
    try {
      arDatabase.SetActive(arWasActive);
    } catch (...) {
      // Closing does not fail; reopening cannot happen here.
    }
  }
  TActiveRestore(const TActiveRestore&) = delete;
  TActiveRestore& operator=(const TActiveRestore&) = delete;

private:
  TnxDatabase& arDatabase;
  const bool arWasActive;
};

}  // namespace

TnxDatabase* TnxBaseSession::GetImplicitDatabase(std::u16string_view aAliasName, bool aCreate) {
  CheckError(nxValidateAliasName(aAliasName, true));
  if (auto it = bsTempDatabases.find(aAliasName); it != bsTempDatabases.end()) return it->second;
  if (!aCreate) return nullptr;
  // Owned by the session from here on: a failure below frees it with its
  // entry gone again.
  auto* database = new TnxDatabase(this);
  try {
    database->SetSession(this);
    database->SetAliasName(aAliasName);
    database->bdbImplicit = true;
    bsTempDatabases.emplace(std::u16string(aAliasName), database);
  } catch (...) {
    platform::TComponent::Free(database);
    throw;
  }
  return database;
}

TnxDatabase* TnxBaseSession::OpenDatabase(std::u16string_view aAliasName) {
  TnxDatabase* database = GetImplicitDatabase(aAliasName, true);
  database->SetActive(true);
  return database;
}

TnxDatabase* TnxBaseSession::FindDatabase(std::u16string_view aAliasName) {
  return GetImplicitDatabase(aAliasName, false);
}

void TnxBaseSession::GetTableNames(std::u16string_view aAliasName, platform::TStringList* aList) {
  CheckError(nxValidateAliasName(aAliasName, true));
  if (!aList) {
    // Not the detail an earlier name check left on this thread.
    EnxBaseException::SetLastConvertedException(0, u"");
    RaiseError(nxeInvalidParameter);
  }
  aList->BeginUpdate();
  struct End {
    platform::TStringList& list;
    ~End() { list.EndUpdate(); }
  } end{*aList};
  aList->Clear();
  TnxDatabase* database = GetImplicitDatabase(aAliasName, true);
  TActiveRestore open(*database);
  database->GetTableNames(aList);
}

void TnxBaseSession::GetChangedTables(std::u16string_view aAliasName, platform::TStringList* aList) {
  CheckError(nxValidateAliasName(aAliasName, true));
  if (!aList) {
    // Not the detail an earlier name check left on this thread.
    EnxBaseException::SetLastConvertedException(0, u"");
    RaiseError(nxeInvalidParameter);
  }
  aList->BeginUpdate();
  struct End {
    platform::TStringList& list;
    ~End() { list.EndUpdate(); }
  } end{*aList};
  aList->Clear();
  TnxDatabase* database = GetImplicitDatabase(aAliasName, true);
  if (database->Active()) database->GetChangedTables(aList);
}

void TnxBaseSession::CloseInactiveLocalDatabases() {
  CheckStarted();
  // Closing may unlink; walk a copy, the last made first.
  std::vector<TnxDatabase*> implicit;
  for (const auto& entry : bsTempDatabases) implicit.push_back(entry.second);
  for (auto it = implicit.rbegin(); it != implicit.rend(); ++it)
    if ((*it)->Active()) (*it)->SetActive(false);
}

void TnxBaseSession::AddDependent(TnxComponent* aComponent) {
  TnxDataAccessStateComponent::AddDependent(aComponent);
  if (auto* database = dynamic_cast<TnxDatabase*>(aComponent)) {
    if (std::find(bsDatabases.begin(), bsDatabases.end(), database) == bsDatabases.end())
      bsDatabases.push_back(database);
  } else if (auto* context = dynamic_cast<TnxTransContext*>(aComponent)) {
    if (std::find(bsTransContexts.begin(), bsTransContexts.end(), context) == bsTransContexts.end())
      bsTransContexts.push_back(context);
  }
}

void TnxBaseSession::RemoveDependent(TnxComponent* aComponent) {
  // By address alone: a component half torn down no longer casts.
  auto same = [aComponent](TnxComponent* aLinked) { return aLinked == aComponent; };
  std::erase_if(bsDatabases, same);
  std::erase_if(bsTransContexts, same);
  std::erase_if(bsTempDatabases, [&](const auto& entry) { return same(entry.second); });
  if (bsDefaultDatabase && same(bsDefaultDatabase)) bsDefaultDatabase = nullptr;
  if (bsDefaultTransContext && same(bsDefaultTransContext)) bsDefaultTransContext = nullptr;
  TnxDataAccessStateComponent::RemoveDependent(aComponent);
}

// ---- passwords and housekeeping ----

void TnxBaseSession::PasswordAdd(std::u16string_view aPassword) {
  CheckStarted();
  CheckError(bsAbstractSession->PasswordAdd(aPassword));
}

void TnxBaseSession::PasswordRemove(std::u16string_view aPassword) {
  CheckStarted();
  CheckError(bsAbstractSession->PasswordRemove(aPassword));
}

void TnxBaseSession::PasswordRemoveAll() {
  CheckStarted();
  CheckError(bsAbstractSession->PasswordRemoveAll());
}

void TnxBaseSession::CloseInactiveTables() {
  CheckStarted();
  CheckError(bsAbstractSession->CloseInactiveTables());
}

void TnxBaseSession::CloseInactiveFolders() {
  CloseInactiveLocalDatabases();
  CheckError(bsAbstractSession->CloseInactiveFolders());
}

void TnxBaseSession::GetRegisteredClassList(TnxClassListType aClassListType, platform::TStringList* aList) {
  if (!aList) return;
  aList->BeginUpdate();
  struct End {
    platform::TStringList& list;
    ~End() { list.EndUpdate(); }
  } end{*aList};
  aList->Clear();
  if (GetServerEngine() && bsAbstractSession) bsAbstractSession->GetRegisteredClassList(aClassListType, *aList);
}

void TnxBaseSession::CancelProcessing() {
  if (bsAbstractSession) bsAbstractSession->Failed(false);
}

// ---- interfaces ----

platform::HRESULT TnxBaseSession::CreateInstance(const platform::TGUID& aClassID, platform::IInterface* aOuter,
                                                 const platform::TGUID& aInterfaceID,
                                                 platform::TInterfacePtr<platform::IInterface>& aInterface) {
  aInterface = nullptr;
  if (!bsAbstractSession) return platform::RPC_E_DISCONNECTED;
  void* made = nullptr;
  const platform::HRESULT result =
      bsAbstractSession->CreateInstanceFor(kRegistryPath, aClassID, aOuter, aInterfaceID, &made);
  // The path walk hands over a reference of its own.
  if (made) aInterface = platform::TInterfacePtr<platform::IInterface>::Attach(static_cast<platform::IInterface*>(made));
  return result;
}

InxSessionRequests* TnxBaseSession::EngineRequests() const noexcept {
  if (!bsAbstractSession) return nullptr;
  void* requests = nullptr;
  if (bsAbstractSession->QueryInterface(InxSessionRequests::IID, &requests) != platform::S_OK) return nullptr;
  return static_cast<InxSessionRequests*>(requests);
}

uint32_t TnxBaseSession::ProcessRequest(TnxMessageSource aSource, TnxThreadPriority aRemoteThreadPriority,
                                        TnxMsgID aMsgID, uint32_t aTimeout, const void* aRequestData,
                                        int32_t aRequestDataLen, void* aReply, int32_t* aReplyLen,
                                        TnxNetMsgDataType aReplyType, bool aCanSkipCantSkip,
                                        uint32_t* aSequenceID) noexcept {
  InxSessionRequests* requests = EngineRequests();
  if (!requests) return nxeServerNotFound;
  if (aTimeout == 0) aTimeout = GetEffectiveTimeout();
  return requests->ProcessRequest(aSource, aRemoteThreadPriority, aMsgID, aTimeout, aRequestData, aRequestDataLen,
                                  aReply, aReplyLen, aReplyType, aCanSkipCantSkip, aSequenceID);
}

uint32_t TnxBaseSession::ProcessRequestDirect(TnxThreadPriority aRemoteThreadPriority, TnxMsgID aMsgID,
                                              uint32_t aTimeout, const void* aRequestData, int32_t aRequestDataLen,
                                              void* aReply, int32_t* aReplyLen,
                                              TnxNetMsgDataType aReplyType) noexcept {
  InxSessionRequests* requests = EngineRequests();
  if (!requests) return nxeServerNotFound;
  if (aTimeout == 0) aTimeout = GetEffectiveTimeout();
  return requests->ProcessRequestDirect(aRemoteThreadPriority, aMsgID, aTimeout, aRequestData, aRequestDataLen,
                                        aReply, aReplyLen, aReplyType);
}

void TnxBaseSession::ProcessPost(TnxMessageSource aSource, TnxThreadPriority aRemoteThreadPriority, TnxMsgID aMsgID,
                                 uint32_t aTimeout, const void* aRequestData, int32_t aRequestDataLen) noexcept {
  InxSessionRequests* requests = EngineRequests();
  if (!requests) return;
  if (aTimeout == 0) aTimeout = GetEffectiveTimeout();
  requests->ProcessPost(aSource, aRemoteThreadPriority, aMsgID, aTimeout, aRequestData, aRequestDataLen);
}

// ---- TnxSession ----

void TnxSession::BeforeDestruction() {
  // Unlinking first would ask an active session to be inactive, out of a
  // destructor: go down while the engine is still there.
  try {
    SetActive(false);
  } catch (...) {
    // Deactivation goes on whatever fails; nothing to tell a destructor.
  }
  if (TnxBaseServerEngine* engine = std::exchange(sesServerEngine, nullptr)) UnlinkDependent(this, engine);
  TnxBaseSession::BeforeDestruction();
}

void TnxSession::SetServerEngine(TnxBaseServerEngine* aValue) {
  if (aValue == sesServerEngine) return;
  CheckInactive();
  if (sesServerEngine) UnlinkDependent(this, sesServerEngine);
  sesServerEngine = aValue;
  if (sesServerEngine) LinkDependent(this, sesServerEngine);
}

void TnxSession::DependentNotify(TnxComponent* aSender, TnxNotifyOp aOp, void* aData) {
  if (aOp == nxn_Destroying && aSender && aSender == sesServerEngine) {
    SetActive(false);
    sesServerEngine = nullptr;
  }
  TnxBaseSession::DependentNotify(aSender, aOp, aData);
}

bool TnxSession::IsDependentOn(TnxStateComponent* aOther) const {
  return (aOther && aOther == sesServerEngine) || TnxBaseSession::IsDependentOn(aOther);
}

}  // namespace revurov
