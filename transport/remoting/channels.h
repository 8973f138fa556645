// Remoting channels: the path of remote calls to one object. The entrance
// lives with the proxy and sends each call as a 0x1201 request through a
// session; the exit lives with the object, in front of its class stub (the
// sink), and takes the calls that a listening transport received.
//
// Contract:
// - A channel ID names its exit by handle, never by address: word 0 the
//   exit's handle in the table of live exits (slot, generation, type tag),
//   word 1 a random secret drawn for the exit, word 2 the handle's
//   generation, word 3 the xor of the three (words are the GUID's 16 bytes
//   as four little-endian 32-bit words).
// - nxFindChannelExit: RPC_E_INVALID_HEADER for a wrong check word, without
//   a lock; RPC_E_DISCONNECTED when no live exit matches all words. The
//   reference is taken under the table's lock and only while the exit still
//   has one, so an exit in its last release is never found again.
// - Requests: the call context block, server ID, channel ID, Integer kind
//   (0 close, 1 call), then the call. Replies: the result as Integer in its
//   4-byte form, then the call's results (nothing more after a failure).
// - nxProcessChannelRequest (the transport's channel hook, installed by the
//   remoting start-up) answers every request exactly once on the thread
//   that received it: a malformed call context block with its code
//   (RPC_E_INVALID_HEADER, RPC_E_VERSION_MISMATCH) and nothing routed;
//   another process's server ID with RPC_E_INVALID_DATAPACKET; else the
//   search's or the exit's result. The request's call context is current
//   only while the exit dispatches. An exception becomes a transport error
//   reply with its converted code, except 11276 (the connection is gone),
//   which sends nothing.
// - An exit is held by the keep-alive service for its keep time after it is
//   made, and by itself from its first call until it is disconnected (close
//   request, end of its session, Disconnect). Disconnecting tells the sink
//   (RemoveChannel) once.
// - An entrance is connected while it has its session; the session's end
//   disconnects it for good (requests answer RPC_E_DISCONNECTED, and its
//   destruction sends nothing). Destroyed while connected, it sends a close
//   request and ignores what comes of it.
// - A request writer sends once (Send); a transport failure raises
//   EnxBaseException with the transport's code. One thread uses a writer
//   and its reply reader.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "lowlevel/objects/interfaced_object.h"
#include "lowlevel/objects/session_notifications.h"
#include "lowlevel/streams/memory_stream.h"
#include "lowlevel/streams/tagged_stream.h"
#include "lowlevel/sync/padlock.h"
#include "platform/guid.h"
#include "platform/interface.h"
#include "transport/data_message_queue.h"
#include "transport/remoting/interfaced_filer.h"
#include "transport/remoting/isolators.h"
#include "transport/remoting/remoting_interfaces.h"
#include "transport/remoting/remoting_types.h"
#include "transport/request_reader.h"
#include "transport/session_requests.h"

namespace revurov {

constexpr platform::HRESULT RPC_E_INVALID_DATAPACKET = platform::HRESULT(0x80010009u);

inline constexpr TnxMsgID nxCreateInstanceMsgID = 0x1200;
inline constexpr int32_t nxChannelClose = 0;
inline constexpr int32_t nxChannelCall = 1;
// Written where the reply's result goes, so that the 4-byte form is used.
inline constexpr int32_t nxReplyResultPlaceholder = 0x7FFFFFFF;

class InxReplyWriter;

class InxRequestWriter : public InxWriter {
public:
  static constexpr platform::TGUID IID = platform::nxGuid("{FDDFAB24-6CD6-4AC6-B9E5-8AF1B0C3AF64}");
  // The reply's result; the reader is given also with a failure result.
  virtual platform::HRESULT Send(TnxMsgID aMsgID, platform::TInterfacePtr<InxReader>& aReader) = 0;
};

class InxReplyWriter : public InxWriter {
public:
  static constexpr platform::TGUID IID = platform::nxGuid("{BE2294A1-076C-442D-A7CF-28D01E71C9EF}");
  // Puts aResult in the result's place and sends the reply; once.
  virtual void Finish(platform::HRESULT aResult) = 0;
};

class InxRequestReader : public InxReader {
public:
  static constexpr platform::TGUID IID = platform::nxGuid("{9CB7D4C7-0587-4A90-9599-3518AE52A7E2}");
  virtual bool GetReplyWriter(platform::TInterfacePtr<InxReplyWriter>& aWriter) = 0;
};

class InxTransportChannelExit : public InxChannelExit {
public:
  static constexpr platform::TGUID IID = platform::nxGuid("{D135F161-AFBF-4931-B66F-836BD03ED631}");
  virtual platform::HRESULT Dispatch(InxReader* aReader, InxReplyWriter* aWriter) = 0;
};

// --- the four filers ---------------------------------------------------------

class TnxInterfacedRequestWriter final : public TnxInterfacedObject,
                                         public TnxWriterOps<InxRequestWriter>,
                                         public InxInterfaceWriter {
public:
  // aServerID (kept as a pointer: it is the entrance's) may be null.
  TnxInterfacedRequestWriter(const platform::TGUID* aServerID, InxSessionRequests* aSession);

  platform::HRESULT Send(TnxMsgID aMsgID, platform::TInterfacePtr<InxReader>& aReader) override;
  // Object references: transport/remoting/object_references.h.
  platform::HRESULT WriteInterface(const platform::TGUID& aIID, platform::IInterface* aInterface) override;

  const platform::TGUID* ServerID() const noexcept { return irwServerID; }

protected:
  bool GetInterface(const platform::TGUID& iid, void** obj) noexcept override;

private:
  platform::TInterfacePtr<InxCallContext> irwContext;
  const platform::TGUID* irwServerID;
  // Heap-backed: a call's few bytes are not worth a mapped reservation.
  TnxBytesStream irwStream;
  TnxWriter irwWriter;
  platform::TInterfacePtr<InxSessionRequests> irwSession;
};

class TnxInterfacedReplyReader final : public TnxInterfacedObject,
                                       public TnxReaderOps<InxReader>,
                                       public InxInterfaceReader {
public:
  // aStream holds the reply, read from its start.
  TnxInterfacedReplyReader(std::unique_ptr<platform::TStream> aStream, const platform::TGUID* aServerID,
                           InxSessionRequests* aSession);

  platform::HRESULT ReadInterface(const platform::TGUID& aIID,
                                  platform::TInterfacePtr<platform::IInterface>& aInterface) override;

protected:
  bool GetInterface(const platform::TGUID& iid, void** obj) noexcept override;

private:
  const platform::TGUID* irrServerID;
  std::unique_ptr<platform::TStream> irrStream;
  TnxReader irrReader;
  platform::TInterfacePtr<InxSessionRequests> irrSession;
};

namespace detail {
// Made before the reader operations that read from it.
struct TRequestReaderHolder {
  std::unique_ptr<TnxDataMessageReader> rrhReader;
};
}  // namespace detail

class TnxInterfacedRequestReader final : public TnxInterfacedObject,
                                         private detail::TRequestReaderHolder,
                                         public TnxReaderOps<InxRequestReader>,
                                         public InxInterfaceReader,
                                         public InxInterfaceFilerInit {
public:
  // The message must outlive the reader.
  explicit TnxInterfacedRequestReader(const TnxDataMessage& aMessage);

  // Reads the call context block: S_OK with a new context (not current),
  // else the block's code. The reader's errors pass to the caller.
  platform::HRESULT ReadContext();
  platform::TInterfacePtr<InxCallContext> Context() const { return irrContext; }
  void DropContext() noexcept { irrContext = nullptr; }

  bool GetReplyWriter(platform::TInterfacePtr<InxReplyWriter>& aWriter) override;
  platform::HRESULT ReadInterface(const platform::TGUID& aIID,
                                  platform::TInterfacePtr<platform::IInterface>& aInterface) override;
  platform::HRESULT Init(const platform::TGUID* aServerID) override;

  // The reply writer, counted as this reader.
  InxReplyWriter& ReplyWriter() noexcept { return irrReplyWriter; }
  const platform::TGUID* ServerID() const noexcept { return irrServerID; }

protected:
  bool GetInterface(const platform::TGUID& iid, void** obj) noexcept override;

private:
  // Counts no references of its own: they are its reader's.
  class TnxInterfacedReplyWriter final : public TnxWriterOps<InxReplyWriter>,
                                         public InxInterfaceWriter,
                                         public InxInterfaceFilerInit {
  public:
    TnxInterfacedReplyWriter(TnxInterfacedRequestReader& aController, TnxMsgID aMsgID);

    platform::HRESULT QueryInterface(const platform::TGUID& iid, void** obj) noexcept override;
    int32_t AddRef() noexcept override { return irwController->AddRef(); }
    int32_t Release() noexcept override { return irwController->Release(); }

    void Finish(platform::HRESULT aResult) override;
    platform::HRESULT WriteInterface(const platform::TGUID& aIID, platform::IInterface* aInterface) override;
    platform::HRESULT Init(const platform::TGUID* aServerID) override;

    const platform::TGUID* ServerID() const noexcept { return irwServerID; }

  private:
    const platform::TGUID* irwServerID = nullptr;
    TnxInterfacedRequestReader* irwController;
    TnxMsgID irwMsgID;
    TnxBytesStream irwStream;
    TnxWriter irwWriter;
    bool irwFinished = false;
  };

  platform::TInterfacePtr<InxCallContext> irrContext;
  const platform::TGUID* irrServerID = nullptr;
  TnxInterfacedReplyWriter irrReplyWriter;
};

// --- entrance and exit -------------------------------------------------------

class TnxChannelEntrance final : public TnxInterfacedObject, public InxChannelEntrance, public InxSessionNotifier {
public:
  TnxChannelEntrance(InxSessionRequests* aSessionRequests, const platform::TGUID& aServerID,
                     const platform::TGUID& aChannelID);

  platform::HRESULT GetChannelID(platform::TGUID& aChannelID) override;
  platform::HRESULT GetServerID(platform::TGUID& aServerID) override;
  bool IsConnected() override;
  platform::HRESULT CreateRequest(platform::TInterfacePtr<InxWriter>& aWriter) override;
  platform::HRESULT SendRequest(platform::IInterface* aWriter, platform::TInterfacePtr<InxReader>& aReader) override;
  void SessionDisconnected() override;

protected:
  ~TnxChannelEntrance() override;
  bool GetInterface(const platform::TGUID& iid, void** obj) noexcept override;

private:
  platform::TInterfacePtr<InxSessionRequests> Session();
  platform::TInterfacePtr<TnxInterfacedRequestWriter> NewRequest(InxSessionRequests* aSession, int32_t aKind);
  void Close() noexcept;

  TnxPadlock chPadlock;  // the three session fields
  platform::TInterfacePtr<InxSessionRequests> chSessionRequests;
  platform::TGUID chChannelID;
  platform::TGUID chServerID;
  platform::TInterfacePtr<InxSessionNotifications> chSessionNotifications;
  platform::TInterfacePtr<InxSessionNotifierIsolator> chNotifierIsolator;
};

class TnxChannelExit final : public TnxInterfacedObject, public InxTransportChannelExit, public InxSessionNotifier {
public:
  TnxChannelExit(const platform::TGUID& aServerID, InxSessionNotifications* aSessionNotifications,
                 InxChannelSink* aChannelSink);

  int32_t Release() noexcept override;

  platform::HRESULT GetChannelID(platform::TGUID& aChannelID) override;
  platform::HRESULT GetServerID(platform::TGUID& aServerID) override;
  bool IsConnected() override;
  platform::HRESULT Disconnect() override;
  platform::HRESULT Dispatch(InxReader* aReader, InxReplyWriter* aWriter) override;
  void SessionDisconnected() override;

protected:
  ~TnxChannelExit() override;
  bool GetInterface(const platform::TGUID& iid, void** obj) noexcept override;

private:
  friend platform::HRESULT nxCreateChannelExit(const platform::TGUID&, InxSessionNotifications*, InxChannelSink*,
                                               platform::TInterfacePtr<InxChannelExit>&);
  friend platform::HRESULT nxFindChannelExit(const platform::TGUID&, platform::TInterfacePtr<InxTransportChannelExit>&);

  // Files the exit in the table of live exits and makes its channel ID.
  void Publish();
  // A new reference unless the count already reached 0.
  bool TryAddRef() noexcept;

  platform::TGUID chServerID;
  platform::TGUID chChannelID{};
  TnxPadlock chPadlock;  // the sink, notification and keep-alive fields
  platform::TInterfacePtr<InxSessionNotifications> chSessionNotifications;
  platform::TInterfacePtr<InxChannelSink> chChannelSink;
  uint32_t chSecret = 0;
  platform::TInterfacePtr<InxSessionNotifierIsolator> chNotifierIsolator;
  uint32_t chGeneration = 0;  // 0 once released
  uint32_t chHandle = 0;
  platform::TInterfacePtr<InxChannelExit> chKeepAlive;
};

// E_INVALIDARG without a session.
platform::HRESULT nxCreateChannelEntrance(InxSessionRequests* aSessionRequests, const platform::TGUID& aServerID,
                                          const platform::TGUID& aChannelID,
                                          platform::TInterfacePtr<InxChannelEntrance>& aEntrance);
// aSessionNotifications may be nil (no session end will reach the exit).
platform::HRESULT nxCreateChannelExit(const platform::TGUID& aServerID, InxSessionNotifications* aSessionNotifications,
                                      InxChannelSink* aChannelSink, platform::TInterfacePtr<InxChannelExit>& aExit);
// A request writer without server ID (the create-instance request); E_INVALIDARG without a session.
platform::HRESULT nxCreateRequestWriter(InxSessionRequests* aSessionRequests,
                                        platform::TInterfacePtr<InxRequestWriter>& aWriter);
platform::HRESULT nxFindChannelExit(const platform::TGUID& aChannelID,
                                    platform::TInterfacePtr<InxTransportChannelExit>& aExit);
void nxProcessChannelRequest(const TnxDataMessage& aMessage);

// Exits not yet released, for tests and diagnostics.
int32_t nxLiveChannelExitCount() noexcept;

// The unit pair in the remoting start-up table: installs and removes the
// transport's channel hook.
void nxChannelsStartup();
void nxChannelsShutdown();

}  // namespace revurov
