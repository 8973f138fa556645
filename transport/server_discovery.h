// Finding servers: the reply of one server to a discovery broadcast, a
// running broadcast, and the handler that gathers server names for
// GetServerNames.
//
// Contract:
// - A running broadcast calls its handler's ReplyReceived on its own
//   threads, any number at once, until Stop has returned.
// - A broadcast that delivered every answer inside BeginBroadcast answers an
//   InxNullActiveBroadcast: nobody waits for it.
// - Replies come from the network: a GUID or version text that does not
//   parse gives the null GUID or 0, never an error.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "lowlevel/objects/interfaced_object.h"
#include "lowlevel/sync/padlock.h"
#include "platform/string_list.h"

namespace revurov {

class TnxBaseTransport;

class InxBroadcastReply : public virtual platform::IInterface {
public:
  static constexpr platform::TGUID IID = platform::nxGuid("{FCB03C28-87C1-4642-94A9-35D66F5AB8DB}");
  // The transport that received the reply; not owned.
  virtual TnxBaseTransport* Transport() = 0;
  virtual std::u16string ServerName() = 0;
  virtual int32_t ServerPort() = 0;
  virtual platform::TGUID ServerID() = 0;
  virtual int32_t ServerVersion() = 0;
};

class InxBroadcastReplyHandler : public virtual platform::IInterface {
public:
  static constexpr platform::TGUID IID = platform::nxGuid("{2ADE8D76-C3CD-42F5-8463-11A2C16DA6FA}");
  virtual void ReplyReceived(InxBroadcastReply& aReply) = 0;
};

class InxActiveBroadcast : public virtual platform::IInterface {
public:
  static constexpr platform::TGUID IID = platform::nxGuid("{D30CB740-56E8-4103-B578-6E620ECE661B}");
  virtual void SuspendSending() = 0;
  virtual void ResumeSending() = 0;
  // Ends the discovery; no reply arrives after it has returned.
  virtual void Stop() = 0;
};

class InxNullActiveBroadcast : public InxActiveBroadcast {
public:
  static constexpr platform::TGUID IID = platform::nxGuid("{0519C7E5-5C41-41FF-8B51-75833763C26A}");
};

class TnxBroadcastReply : public TnxInterfacedObject, public InxBroadcastReply {
public:
  TnxBroadcastReply(TnxBaseTransport* aTransport, std::u16string aServerName, int32_t aServerPort,
                    const platform::TGUID& aServerID, int32_t aServerVersion);
  // An empty or malformed ID text gives the null GUID; an empty or
  // non-numeric version text gives 0.
  TnxBroadcastReply(TnxBaseTransport* aTransport, std::u16string aServerName, int32_t aServerPort,
                    std::u16string_view aServerIDText, std::u16string_view aServerVersionText);

  TnxBaseTransport* Transport() override { return brTransport; }
  std::u16string ServerName() override { return brServerName; }
  int32_t ServerPort() override { return brServerPort; }
  platform::TGUID ServerID() override { return brServerID; }
  int32_t ServerVersion() override { return brServerVersion; }

protected:
  bool GetInterface(const platform::TGUID& iid, void** obj) noexcept override;

private:
  TnxBaseTransport* brTransport = nullptr;
  std::u16string brServerName;
  int32_t brServerPort = 0;
  platform::TGUID brServerID{};
  int32_t brServerVersion = 0;
};

class TnxNullActiveBroadcast : public TnxInterfacedObject, public InxNullActiveBroadcast {
public:
  void SuspendSending() override {}
  void ResumeSending() override {}
  void Stop() override {}

protected:
  bool GetInterface(const platform::TGUID& iid, void** obj) noexcept override;
};

// Gathers the names of one GetServerNames call; replies may arrive on any
// number of discovery threads at once.
class TnxGetServerNamesHandler : public TnxInterfacedObject, public InxBroadcastReplyHandler {
public:
  explicit TnxGetServerNamesHandler(TnxBaseTransport* aTransport);

  // Broadcasts with an interval of aTimeOut div 4, waits aTimeOut ms (through
  // the transport clock's sleep) unless the broadcast answered at once,
  // stops it, and fills aList with the names, sorted and without duplicates.
  void Run(platform::TStringList& aList, uint32_t aTimeOut);
  void ReplyReceived(InxBroadcastReply& aReply) override;

protected:
  bool GetInterface(const platform::TGUID& iid, void** obj) noexcept override;

private:
  TnxPadlock gsnhLock;
  platform::TStringList gsnhList;
  TnxBaseTransport* gsnhTransport;
};

}  // namespace revurov
