#include "transport/server_discovery.h"

#include <limits>

#include "platform/guid.h"
#include "transport/base_transport.h"
#include "transport/transport_clock.h"

namespace revurov {

namespace {

// Decimal with an optional sign; anything else (or overflow) gives 0, since
// the text comes from any sender on the network.
int32_t VersionOf(std::u16string_view aText) {
  size_t i = 0;
  bool negative = false;
  if (i < aText.size() && (aText[i] == u'-' || aText[i] == u'+')) negative = aText[i++] == u'-';
  if (i == aText.size()) return 0;
  int64_t value = 0;
  for (; i < aText.size(); ++i) {
    if (aText[i] < u'0' || aText[i] > u'9') return 0;
    value = value * 10 + (aText[i] - u'0');
    if (value > int64_t{std::numeric_limits<int32_t>::max()} + 1) return 0;
  }
  if (negative) value = -value;
  if (value > std::numeric_limits<int32_t>::max()) return 0;
  return static_cast<int32_t>(value);
}

platform::TGUID GuidOf(std::u16string_view aText) {
  platform::TGUID id{};
  if (aText.empty() || !platform::TryStringToGUID(aText, id)) return platform::TGUID{};
  return id;
}

}  // namespace

TnxBroadcastReply::TnxBroadcastReply(TnxBaseTransport* aTransport, std::u16string aServerName,
                                     int32_t aServerPort, const platform::TGUID& aServerID,
                                     int32_t aServerVersion)
    : brTransport(aTransport),
      brServerName(std::move(aServerName)),
      brServerPort(aServerPort),
      brServerID(aServerID),
      brServerVersion(aServerVersion) {}

TnxBroadcastReply::TnxBroadcastReply(TnxBaseTransport* aTransport, std::u16string aServerName,
                                     int32_t aServerPort, std::u16string_view aServerIDText,
                                     std::u16string_view aServerVersionText)
    : TnxBroadcastReply(aTransport, std::move(aServerName), aServerPort, GuidOf(aServerIDText),
                        VersionOf(aServerVersionText)) {}

bool TnxBroadcastReply::GetInterface(const platform::TGUID& iid, void** obj) noexcept {
  return nxOfferInterface<InxBroadcastReply>(this, iid, obj) ||
         TnxInterfacedObject::GetInterface(iid, obj);
}

bool TnxNullActiveBroadcast::GetInterface(const platform::TGUID& iid, void** obj) noexcept {
  return nxOfferInterface<InxNullActiveBroadcast>(this, iid, obj) ||
         nxOfferInterface<InxActiveBroadcast>(this, iid, obj) ||
         TnxInterfacedObject::GetInterface(iid, obj);
}

TnxGetServerNamesHandler::TnxGetServerNamesHandler(TnxBaseTransport* aTransport)
    : gsnhTransport(aTransport) {
  gsnhList.SetSorted(true);
  gsnhList.SetDuplicates(platform::TDuplicates::dupIgnore);
}

bool TnxGetServerNamesHandler::GetInterface(const platform::TGUID& iid, void** obj) noexcept {
  return nxOfferInterface<InxBroadcastReplyHandler>(this, iid, obj) ||
         TnxInterfacedObject::GetInterface(iid, obj);
}

void TnxGetServerNamesHandler::Run(platform::TStringList& aList, uint32_t aTimeOut) {
  {
    TnxPadlockGuard guard(gsnhLock);
    gsnhList.Clear();
  }
  platform::TInterfacePtr<InxActiveBroadcast> broadcast =
      gsnhTransport->BeginBroadcast(this, static_cast<int32_t>(aTimeOut / 4));
  if (broadcast) {
    if (!platform::Supports<InxNullActiveBroadcast>(broadcast.Get())) nxTransportSleep(aTimeOut);
    broadcast->Stop();
  }
  TnxPadlockGuard guard(gsnhLock);
  aList.Clear();
  aList.AddStrings(gsnhList);
}

void TnxGetServerNamesHandler::ReplyReceived(InxBroadcastReply& aReply) {
  std::u16string name = aReply.ServerName();
  TnxPadlockGuard guard(gsnhLock);
  gsnhList.Add(std::move(name));
}

}  // namespace revurov
