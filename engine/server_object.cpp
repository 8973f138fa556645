#include "engine/server_object.h"

#include "engine/server_engine.h"
#include "lowlevel/errors/error_codes.h"
#include "lowlevel/objects/handle_table.h"
#include "lowlevel/streams/exception_conversion.h"
#include "lowlevel/streams/exception_data.h"
#include "platform/text.h"

namespace revurov {

using platform::HRESULT;
using platform::TGUID;

namespace {

// A class tag for the handle: a cheap check that an identity was handed out
// for this kind of object; the class record decides.
uint8_t HandleTagOf(const TnxRegisterableClass& aClass) noexcept {
  uint32_t hash = 2166136261u;
  for (char16_t c : aClass.Name) hash = (hash ^ c) * 16777619u;
  return uint8_t(hash & 0xF);
}

}  // namespace

TnxHandleTable& nxServerObjectHandles() {
  static TnxHandleTable table;
  return table;
}

std::pair<std::u16string_view, std::u16string_view> nxSplitObjectPath(std::u16string_view aPath) noexcept {
  size_t dot = aPath.find(u'.');
  if (dot == std::u16string_view::npos) return {aPath, u"<Self>"};
  std::u16string_view rest = aPath.substr(dot + 1);
  return {aPath.substr(0, dot), rest.empty() ? u"<Self>" : rest};
}

const TnxRegisterableClass& TnxAbstractServerObject::ClassInfo() noexcept {
  static const TnxRegisterableClass info{u"TnxAbstractServerObject", nullptr, nullptr};
  return info;
}

TnxAbstractServerObject::TnxAbstractServerObject(TnxAbstractServerObject* aSession) : asoSession(aSession) {}

TnxAbstractServerObject::~TnxAbstractServerObject() {
  // A destructor reached without Free (a failed constructor) still ends the
  // identity.
  if (asoHandle) nxServerObjectHandles().Remove(std::exchange(asoHandle, 0));
  asoSession = nullptr;
}

void TnxAbstractServerObject::AfterConstruction() {
  const TnxRegisterableClass& cls = ClassType();
  asoHandle = nxServerObjectHandles().Add(this, &cls, asoSession ? asoSession->RemoteID() : 0, HandleTagOf(cls));
}

void TnxAbstractServerObject::MarkDestroying() noexcept {
  // Once: a class may mark early, under a lock of its own.
  if (asoDestroying.exchange(true, std::memory_order_acq_rel)) return;
  if (asoDestroyFlag) *asoDestroyFlag = true;
  // From here on the identity names nothing (also while extenders hear of
  // the destruction); its slot may go to a new object.
  if (asoHandle) nxServerObjectHandles().Remove(std::exchange(asoHandle, 0));
}

void TnxAbstractServerObject::BeforeDestruction() {
  MarkDestroying();
  PrepareDestroy();
}

void TnxAbstractServerObject::Free() {
  if (Destroying()) return;
  struct Deleter {
    TnxAbstractServerObject* object;
    ~Deleter() { delete object; }
  } deleter{this};
  BeforeDestruction();
}

int32_t TnxAbstractServerObject::MinVersion() const {
  return asoSession ? asoSession->MinVersion() : int32_t(nxGetThreadMinVersion());
}

uint32_t TnxAbstractServerObject::LookupByID(const TnxRegisterableClass& aExpected, TnxSessionID aSessionID,
                                             TnxBaseID aBaseID, TnxAbstractServerObject*& aBase) noexcept {
  aBase = static_cast<TnxAbstractServerObject*>(nxServerObjectHandles().Lookup(aBaseID, &aExpected, aSessionID));
  return aBase ? 0 : nxeInvalidHandle;
}

uint32_t TnxAbstractServerObject::Close() {
  if (Destroying()) return nxeIllegalReentry;
  TnxBaseServerEngine* engine = OwningServerEngine();
  try {
    Free();
    return 0;
  } catch (const std::exception& e) {
    if (engine) return engine->ConvertException(e, nullptr);
    return nxConvertException(e, nullptr, nullptr, nxDefaultClientVersion);
  }
}

uint32_t TnxAbstractServerObject::asoConvertException(const std::exception& aException) {
  if (TnxBaseServerEngine* engine = OwningServerEngine()) return engine->ConvertException(aException, this);
  return nxConvertException(aException, nullptr, this, MinVersion());
}

uint32_t TnxAbstractServerObject::asoConvertCurrentException() noexcept {
  try {
    try {
      throw;
    } catch (const std::exception& e) {
      return asoConvertException(e);
    } catch (...) {
      return nxConvertCurrentException(nullptr, static_cast<TnxObject*>(this), MinVersion());
    }
  } catch (...) {
    return nxeUnknownException;
  }
}

HRESULT TnxAbstractServerObject::CreateInstanceOnSelf(const TGUID& aClassID, platform::IInterface*,
                                                      const TGUID& aInterfaceID, void** aInterface) {
  *aInterface = nullptr;
  if (!(aClassID == nxServerObjectClassID)) return platform::E_NOINTERFACE;
  return QueryInterface(aInterfaceID, aInterface) == 0 ? 0 : platform::E_NOINTERFACE;
}

HRESULT TnxAbstractServerObject::CreateInstanceFor(std::u16string_view aName, const TGUID& aClassID,
                                                   platform::IInterface* aOuter, const TGUID& aInterfaceID,
                                                   void** aInterface) {
  *aInterface = nullptr;
  auto [first, rest] = nxSplitObjectPath(aName);
  if (platform::AsciiSameText(first, u"<Self>")) {
    if (platform::AsciiSameText(rest, u"<Self>")) return CreateInstanceOnSelf(aClassID, aOuter, aInterfaceID, aInterface);
    return CreateInstanceFor(rest, aClassID, aOuter, aInterfaceID, aInterface);
  }
  if (platform::AsciiSameText(first, u"<Session>")) {
    TnxAbstractServerObject* session = SessionForPath();
    if (!session) return platform::E_NOINTERFACE;
    return session->CreateInstanceFor(rest, aClassID, aOuter, aInterfaceID, aInterface);
  }
  TnxBaseServerEngine* engine = OwningServerEngine();
  if (!engine) return platform::E_NOINTERFACE;
  return engine->CreateInstanceFor(SessionForPath(), aName, aClassID, aOuter, aInterfaceID, aInterface);
}

bool TnxAbstractServerObject::GetInterface(const TGUID& iid, void** obj) noexcept {
  return nxOfferInterface<InxAbstractServerObject41100>(this, iid, obj) ||
         TnxLifetimeTrackedPersistent::GetInterface(iid, obj);
}

void TnxAbstractServerObject::GetExceptionData(InxExceptionDataContainer& aContainer, bool aIncludeChildren) {
  TnxLifetimeTrackedPersistent::GetExceptionData(aContainer, aIncludeChildren);
  aContainer.AddBoolean(u"Destroying", Destroying());
}

std::u16string TnxAbstractServerObject::GetEncodedExceptionData(bool aIncludeChildren) {
  std::vector<const void*> excluded;
  if (TnxBaseServerEngine* engine = OwningServerEngine()) excluded.push_back(static_cast<TnxObject*>(engine));
  TnxExceptionDataRef container =
      nxCreateExceptionDataContainer(u"ExceptionData", static_cast<TnxObject*>(this), std::move(excluded));
  GetExceptionData(*container, aIncludeChildren);
  return container->ToEncodedString(int32_t(nxGetThreadMinVersionCapped()));
}

}  // namespace revurov
