#include "transport/remoting/remoting_types.h"

#include "lowlevel/objects/utils_system.h"
#include "platform/endian.h"
#include "platform/format.h"
#include "platform/rtl_exception.h"
#include "transport/remoting/factory_interfaces.h"

namespace revurov {

namespace {

// Two GUIDs as the writer puts them: tag, 32-bit length, 16 bytes each.
constexpr int64_t kRoutingEntryBytes = 2 * (1 + 4 + 16);

platform::TGUID gProcessID;
bool gProcessIDMade = false;

int32_t DisconnectObject(TnxObject* aObject) {
  platform::TInterfacePtr<InxClassStub> stub;
  const platform::HRESULT hr =
      nxClassStubFactoryRegistry()->FindClassStubForObject(dynamic_cast<platform::IInterface*>(aObject), stub);
  if (hr < 0 || !stub) return hr;
  return stub->Disconnect();
}

platform::TInterfacePtr<InxClassActivator> ClassActivator() { return nxClassFactoryRegistry(); }

}  // namespace

void nxWriteRoutingPath(InxWriter& aWriter, const TnxRoutingPath& aPath) {
  if (aPath.empty()) {
    aWriter.WriteValue(vaNil);
    return;
  }
  aWriter.WriteListBegin();
  aWriter.WriteInteger(static_cast<int64_t>(aPath.size()));
  for (const TnxObjectIdentity& entry : aPath) {
    aWriter.WriteGuid(entry.oiServerID);
    aWriter.WriteGuid(entry.oiInstanceID);
  }
  aWriter.WriteListEnd();
}

void nxReadRoutingPath(InxReader& aReader, TnxRoutingPath& aPath) {
  aPath.clear();
  if (aReader.NextValue() == vaNil) {
    aReader.ReadValue();
    return;
  }
  aReader.ReadListBegin();
  const int32_t count = aReader.ReadInteger();
  // The count is the peer's word: size nothing by it before the stream has
  // shown it could hold that many entries.
  if (count < 0) throw platform::EReadError(platform::Format(u"Stream-Lesefehler: negative Anzahl %d", {count}));
  const int64_t left = aReader.BytesLeft();
  if (int64_t{count} * kRoutingEntryBytes > left)
    throw platform::EReadError(platform::Format(
        u"Stream-Lesefehler: %d Einträge übersteigen die verbleibenden %d Bytes", {count, left}));
  aPath.reserve(static_cast<size_t>(count));
  for (int32_t i = 0; i < count; ++i) {
    TnxObjectIdentity entry;
    entry.oiServerID = aReader.ReadGuid();
    entry.oiInstanceID = aReader.ReadGuid();
    aPath.push_back(entry);
  }
  aReader.ReadListEnd();
}

const platform::TGUID& nxProcessID() noexcept { return gProcessID; }

std::array<uint32_t, 4> nxGuidWords(const platform::TGUID& aGuid) noexcept {
  uint8_t raw[16];
  platform::GUIDToBytes(aGuid, raw);
  return {platform::LoadU32(raw), platform::LoadU32(raw + 4), platform::LoadU32(raw + 8), platform::LoadU32(raw + 12)};
}

platform::TGUID nxGuidOfWords(const std::array<uint32_t, 4>& aWords) noexcept {
  uint8_t raw[16];
  for (int i = 0; i < 4; ++i) platform::StoreU32(raw + 4 * i, aWords[i]);
  return platform::GUIDFromBytes(raw);
}

void nxRemotingTypesStartup() {
  if (!gProcessIDMade) {
    gProcessIDMade = true;
    try {
      gProcessID = platform::CreateGUID();
    } catch (...) {
      gProcessID = platform::GUID_NULL;
    }
  }
  nxObjectDisconnectHook = &DisconnectObject;
  nxClassActivatorHook = &ClassActivator;
}

void nxRemotingTypesShutdown() {
  nxClassActivatorHook = nullptr;
  nxObjectDisconnectHook = nullptr;
  nxReleaseFactoryRegistries();
}

}  // namespace revurov
