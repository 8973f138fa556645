#include "transport/remoting/channels.h"

#include <random>
#include <vector>
#include <utility>

#include "lowlevel/errors/error_codes.h"
#include "lowlevel/errors/exceptions.h"
#include "lowlevel/objects/handle_table.h"
#include "lowlevel/streams/exception_conversion.h"
#include "lowlevel/sync/lock_guard.h"
#include "platform/endian.h"
#include "transport/base_transport.h"
#include "transport/remoting/call_context.h"
#include "transport/remoting/keep_alive.h"
#include "transport/remoting/object_references.h"

namespace revurov {

using platform::E_INVALIDARG;
using platform::E_NOTIMPL;
using platform::E_UNEXPECTED;
using platform::HRESULT;
using platform::IInterface;
using platform::RPC_E_DISCONNECTED;
using platform::RPC_E_INVALID_HEADER;
using platform::S_OK;
using platform::Supports;
using platform::TGUID;
using platform::TInterfacePtr;

namespace {

// The type tag of exits in their handles.
constexpr uint8_t kExitTag = 0xC;

// The table of live exits and the lock that orders every search against
// every exit's last release.
struct TExitTable {
  TnxPadlock padlock;
  TnxHandleTable table;
};

TExitTable& Exits() {
  static TExitTable exits;
  return exits;
}

std::atomic<int32_t> gLiveExits{0};

uint32_t RandomSecret() {
  thread_local std::mt19937 tlsEngine{std::random_device{}()};
  return static_cast<uint32_t>(tlsEngine());
}

template <class I>
TInterfacePtr<I> Counted(I* aInterface) {
  return TInterfacePtr<I>(aInterface);
}

}  // namespace

// --- request writer ----------------------------------------------------------

TnxInterfacedRequestWriter::TnxInterfacedRequestWriter(const TGUID* aServerID, InxSessionRequests* aSession)
    : TnxWriterOps<InxRequestWriter>(irwWriter),
      irwServerID(aServerID),
      irwWriter(irwStream),
      irwSession(aSession) {
  nxGetCallContext(irwContext);
  irwContext->WriteCallContext(static_cast<InxRequestWriter*>(this));
}

bool TnxInterfacedRequestWriter::GetInterface(const TGUID& iid, void** obj) noexcept {
  return nxOfferInterface<InxRequestWriter>(this, iid, obj) || nxOfferInterface<InxWriter>(this, iid, obj) ||
         nxOfferInterface<InxInterfaceWriter>(this, iid, obj) || TnxInterfacedObject::GetInterface(iid, obj);
}

HRESULT TnxInterfacedRequestWriter::Send(TnxMsgID aMsgID, TInterfacePtr<InxReader>& aReader) {
  aReader = nullptr;
  irwWriter.FlushBuffer();
  // Dropped after the call has left the context, whatever happens.
  TInterfacePtr<InxCallContext> context = std::move(irwContext);
  if (!context || !irwSession) return E_UNEXPECTED;
  struct TLeave {
    InxCallContext* context;
    ~TLeave() { context->LeaveCall(); }
  };
  context->EnterCall();
  TLeave leave{context.Get()};

  std::unique_ptr<platform::TStream> reply = std::make_unique<TnxBytesStream>();
  platform::TStream* target = reply.get();
  const std::vector<uint8_t>& request = irwStream.Bytes();
  const uint32_t code = irwSession->ProcessRequestDirect(0, aMsgID, 0, request.data(),
                                                         static_cast<int32_t>(request.size()), &target, nullptr,
                                                         nmdStream);
  if (code != 0) throw EnxBaseException(code);
  auto* reader = nxCreate<TnxInterfacedReplyReader>(std::move(reply), irwServerID, irwSession.Get());
  aReader = Counted<InxReader>(reader);
  return aReader->ReadInteger();
}

HRESULT TnxInterfacedRequestWriter::WriteInterface(const TGUID& aIID, IInterface* aInterface) {
  const TInterfacePtr<InxSessionNotifications> notifications = Supports<InxSessionNotifications>(irwSession);
  if (!notifications) return E_NOTIMPL;
  return nxWriteObjectReference(notifications.Get(), irwServerID, *this, aIID, aInterface);
}

// --- reply reader ------------------------------------------------------------

TnxInterfacedReplyReader::TnxInterfacedReplyReader(std::unique_ptr<platform::TStream> aStream,
                                                   const TGUID* aServerID, InxSessionRequests* aSession)
    : TnxReaderOps<InxReader>(irrReader),
      irrServerID(aServerID),
      irrStream(std::move(aStream)),
      irrReader(*irrStream),
      irrSession(aSession) {}

bool TnxInterfacedReplyReader::GetInterface(const TGUID& iid, void** obj) noexcept {
  return nxOfferInterface<InxReader>(this, iid, obj) || nxOfferInterface<InxInterfaceReader>(this, iid, obj) ||
         TnxInterfacedObject::GetInterface(iid, obj);
}

HRESULT TnxInterfacedReplyReader::ReadInterface(const TGUID& aIID, TInterfacePtr<IInterface>& aInterface) {
  return nxReadObjectReference(irrSession.Get(), irrServerID, *this, aIID, aInterface);
}

// --- request reader and its reply writer -------------------------------------

TnxInterfacedRequestReader::TnxInterfacedRequestReader(const TnxDataMessage& aMessage)
    : TRequestReaderHolder{TnxDataMessageReader::Create<TnxDataMessageReader>(aMessage)},
      TnxReaderOps<InxRequestReader>(*rrhReader),
      irrReplyWriter(*this, aMessage.dmMsg) {}

bool TnxInterfacedRequestReader::GetInterface(const TGUID& iid, void** obj) noexcept {
  return nxOfferInterface<InxRequestReader>(this, iid, obj) || nxOfferInterface<InxReader>(this, iid, obj) ||
         nxOfferInterface<InxInterfaceReader>(this, iid, obj) ||
         nxOfferInterface<InxInterfaceFilerInit>(this, iid, obj) || TnxInterfacedObject::GetInterface(iid, obj);
}

HRESULT TnxInterfacedRequestReader::ReadContext() {
  TInterfacePtr<InxCallContext> context;
  const HRESULT result = nxReadCallContext(*static_cast<InxRequestReader*>(this), context);
  irrContext = std::move(context);
  return result;
}

bool TnxInterfacedRequestReader::GetReplyWriter(TInterfacePtr<InxReplyWriter>& aWriter) {
  aWriter = Counted<InxReplyWriter>(&irrReplyWriter);
  return true;
}

HRESULT TnxInterfacedRequestReader::ReadInterface(const TGUID& aIID, TInterfacePtr<IInterface>& aInterface) {
  aInterface = nullptr;
  // References lead back over the session of the request being served.
  const TInterfacePtr<InxSessionRequests> session =
      Supports<InxSessionRequests>(TnxBaseTransport::GetSessionCallback());
  if (!session || !irrServerID) return E_NOTIMPL;
  return nxReadObjectReference(session.Get(), irrServerID, *static_cast<InxRequestReader*>(this), aIID, aInterface);
}

HRESULT TnxInterfacedRequestReader::Init(const TGUID* aServerID) {
  irrServerID = aServerID;
  return S_OK;
}

HRESULT TnxInterfacedRequestReader::TnxInterfacedReplyWriter::QueryInterface(const TGUID& iid, void** obj) noexcept {
  if (nxOfferInterface<InxReplyWriter>(this, iid, obj) || nxOfferInterface<InxWriter>(this, iid, obj) ||
      nxOfferInterface<InxInterfaceWriter>(this, iid, obj) ||
      nxOfferInterface<InxInterfaceFilerInit>(this, iid, obj))
    return S_OK;
  if (iid == IInterface::IID) {
    AddRef();
    *obj = static_cast<IInterface*>(static_cast<InxReplyWriter*>(this));
    return S_OK;
  }
  *obj = nullptr;
  return platform::E_NOINTERFACE;
}

TnxInterfacedRequestReader::TnxInterfacedReplyWriter::TnxInterfacedReplyWriter(TnxInterfacedRequestReader& aController,
                                                                              TnxMsgID aMsgID)
    : TnxWriterOps<InxReplyWriter>(irwWriter), irwController(&aController), irwMsgID(aMsgID), irwWriter(irwStream) {
  irwWriter.WriteInteger(nxReplyResultPlaceholder);
}

void TnxInterfacedRequestReader::TnxInterfacedReplyWriter::Finish(HRESULT aResult) {
  if (std::exchange(irwFinished, true)) return;
  irwWriter.FlushBuffer();
  uint8_t result[4];
  platform::StoreU32(result, static_cast<uint32_t>(aResult));
  irwStream.SetPosition(1);
  irwStream.WriteBuffer(result, 4);
  const std::vector<uint8_t>& reply = irwStream.Bytes();
  TnxBaseTransport::Reply(irwMsgID, 0, reply.data(), static_cast<int32_t>(reply.size()));
}

HRESULT TnxInterfacedRequestReader::TnxInterfacedReplyWriter::WriteInterface(const TGUID& aIID,
                                                                              IInterface* aInterface) {
  const TInterfacePtr<InxSessionNotifications> notifications =
      Supports<InxSessionNotifications>(TnxBaseTransport::GetSessionCallback());
  if (!notifications) return E_NOTIMPL;
  return nxWriteObjectReference(notifications.Get(), irwServerID, *this, aIID, aInterface);
}

HRESULT TnxInterfacedRequestReader::TnxInterfacedReplyWriter::Init(const TGUID* aServerID) {
  irwServerID = aServerID;
  return S_OK;
}

// --- entrance ----------------------------------------------------------------

TnxChannelEntrance::TnxChannelEntrance(InxSessionRequests* aSessionRequests, const TGUID& aServerID,
                                       const TGUID& aChannelID)
    : chSessionRequests(aSessionRequests), chChannelID(aChannelID), chServerID(aServerID) {
  chSessionNotifications = Supports<InxSessionNotifications>(static_cast<IInterface*>(aSessionRequests));
  if (chSessionNotifications)
    chNotifierIsolator = Counted<InxSessionNotifierIsolator>(nxCreate<TnxSessionNotifierIsolator>(
        static_cast<InxSessionNotifier*>(this), chSessionNotifications.Get()));
}

TnxChannelEntrance::~TnxChannelEntrance() { Close(); }

bool TnxChannelEntrance::GetInterface(const TGUID& iid, void** obj) noexcept {
  return nxOfferInterface<InxChannelEntrance>(this, iid, obj) || nxOfferInterface<InxChannel>(this, iid, obj) ||
         nxOfferInterface<InxSessionNotifier>(this, iid, obj) || TnxInterfacedObject::GetInterface(iid, obj);
}

TInterfacePtr<InxSessionRequests> TnxChannelEntrance::Session() {
  TnxPadlockGuard guard(chPadlock);
  return chSessionRequests;
}

HRESULT TnxChannelEntrance::GetChannelID(TGUID& aChannelID) {
  aChannelID = chChannelID;
  return S_OK;
}

HRESULT TnxChannelEntrance::GetServerID(TGUID& aServerID) {
  aServerID = chServerID;
  return S_OK;
}

bool TnxChannelEntrance::IsConnected() { return Session() != nullptr; }

TInterfacePtr<TnxInterfacedRequestWriter> TnxChannelEntrance::NewRequest(InxSessionRequests* aSession,
                                                                          int32_t aKind) {
  TInterfacePtr<TnxInterfacedRequestWriter> writer(nxCreate<TnxInterfacedRequestWriter>(&chServerID, aSession));
  writer->WriteGuid(chServerID);
  writer->WriteGuid(chChannelID);
  writer->WriteInteger(aKind);
  return writer;
}

HRESULT TnxChannelEntrance::CreateRequest(TInterfacePtr<InxWriter>& aWriter) {
  aWriter = nullptr;
  const TInterfacePtr<InxSessionRequests> session = Session();
  if (!session) return RPC_E_DISCONNECTED;
  aWriter = Counted<InxWriter>(NewRequest(session.Get(), nxChannelCall).Get());
  return S_OK;
}

HRESULT TnxChannelEntrance::SendRequest(IInterface* aWriter, TInterfacePtr<InxReader>& aReader) {
  aReader = nullptr;
  if (!Session()) return RPC_E_DISCONNECTED;
  const TInterfacePtr<InxRequestWriter> writer = Supports<InxRequestWriter>(aWriter);
  if (!writer) return E_INVALIDARG;
  return writer->Send(nxChannelRequestMsgID, aReader);
}

void TnxChannelEntrance::SessionDisconnected() {
  TInterfacePtr<InxSessionRequests> session;
  TInterfacePtr<InxSessionNotifications> notifications;
  TInterfacePtr<InxSessionNotifierIsolator> isolator;
  TnxPadlockGuard guard(chPadlock);
  session = std::move(chSessionRequests);
  notifications = std::move(chSessionNotifications);
  isolator = std::move(chNotifierIsolator);
}

void TnxChannelEntrance::Close() noexcept {
  TInterfacePtr<InxSessionRequests> session;
  TInterfacePtr<InxSessionNotifications> notifications;
  TInterfacePtr<InxSessionNotifierIsolator> isolator;
  {
    TnxPadlockGuard guard(chPadlock);
    session = std::move(chSessionRequests);
    notifications = std::move(chSessionNotifications);
    isolator = std::move(chNotifierIsolator);
  }
  if (session) {
    try {
      TInterfacePtr<InxReader> reply;
      NewRequest(session.Get(), nxChannelClose)->Send(nxChannelRequestMsgID, reply);
    } catch (...) {
      // The exit goes with its session or its keep time anyway.
    }
  }
  if (isolator) isolator->Detach();
}

HRESULT nxCreateChannelEntrance(InxSessionRequests* aSessionRequests, const TGUID& aServerID, const TGUID& aChannelID,
                                TInterfacePtr<InxChannelEntrance>& aEntrance) {
  aEntrance = nullptr;
  if (!aSessionRequests) return E_INVALIDARG;
  aEntrance = Counted<InxChannelEntrance>(nxCreate<TnxChannelEntrance>(aSessionRequests, aServerID, aChannelID));
  return S_OK;
}

HRESULT nxCreateRequestWriter(InxSessionRequests* aSessionRequests, TInterfacePtr<InxRequestWriter>& aWriter) {
  aWriter = nullptr;
  if (!aSessionRequests) return E_INVALIDARG;
  aWriter = Counted<InxRequestWriter>(nxCreate<TnxInterfacedRequestWriter>(nullptr, aSessionRequests));
  return S_OK;
}

// --- exit --------------------------------------------------------------------

TnxChannelExit::TnxChannelExit(const TGUID& aServerID, InxSessionNotifications* aSessionNotifications,
                               InxChannelSink* aChannelSink)
    : chServerID(aServerID), chSessionNotifications(aSessionNotifications), chChannelSink(aChannelSink) {
  if (chSessionNotifications)
    chNotifierIsolator = Counted<InxSessionNotifierIsolator>(nxCreate<TnxSessionNotifierIsolator>(
        static_cast<InxSessionNotifier*>(this), chSessionNotifications.Get()));
  gLiveExits.fetch_add(1, std::memory_order_relaxed);
}

TnxChannelExit::~TnxChannelExit() {
  Disconnect();
  gLiveExits.fetch_sub(1, std::memory_order_relaxed);
}

void TnxChannelExit::Publish() {
  TExitTable& exits = Exits();
  TnxPadlockGuard guard(exits.padlock);
  chHandle = exits.table.Add(static_cast<TnxChannelExit*>(this), nullptr, 0, kExitTag);
  chSecret = RandomSecret();
  chGeneration = TnxHandleTable::GenerationOf(chHandle);
  chChannelID = nxGuidOfWords({chHandle, chSecret, chGeneration, chHandle ^ chSecret ^ chGeneration});
}

bool TnxChannelExit::TryAddRef() noexcept {
  int32_t count = ioRefCount.load(std::memory_order_acquire);
  while (count > 0)
    if (ioRefCount.compare_exchange_weak(count, count + 1, std::memory_order_acq_rel)) return true;
  return false;
}

int32_t TnxChannelExit::Release() noexcept {
  const int32_t count = ioRefCount.fetch_sub(1, std::memory_order_acq_rel) - 1;
  if (count != 0) return count;
  bool destroy = false;
  {
    TExitTable& exits = Exits();
    TnxPadlockGuard guard(exits.padlock);
    if (ioRefCount.load(std::memory_order_acquire) == 0) {
      int32_t expected = 0;
      destroy = ioReleased.compare_exchange_strong(expected, 1);
      if (destroy) {
        if (chHandle) exits.table.Remove(chHandle);
        chGeneration = 0;
      }
    }
  }
  if (destroy) delete this;
  return 0;
}

bool TnxChannelExit::GetInterface(const TGUID& iid, void** obj) noexcept {
  if (nxOfferInterface<InxTransportChannelExit>(this, iid, obj) || nxOfferInterface<InxChannelExit>(this, iid, obj) ||
      nxOfferInterface<InxChannel>(this, iid, obj) || nxOfferInterface<InxSessionNotifier>(this, iid, obj) ||
      TnxInterfacedObject::GetInterface(iid, obj))
    return true;
  // The session behind the notification list, while the exit serves it.
  if (iid == InxSessionRequests::IID) {
    TInterfacePtr<InxSessionNotifications> notifications;
    {
      TnxPadlockGuard guard(chPadlock);
      notifications = chSessionNotifications;
    }
    return notifications && notifications->QueryInterface(iid, obj) == S_OK;
  }
  return false;
}

HRESULT TnxChannelExit::GetChannelID(TGUID& aChannelID) {
  aChannelID = chChannelID;
  return S_OK;
}

HRESULT TnxChannelExit::GetServerID(TGUID& aServerID) {
  aServerID = chServerID;
  return S_OK;
}

bool TnxChannelExit::IsConnected() {
  TnxPadlockGuard guard(chPadlock);
  return chChannelSink && chSessionNotifications;
}

HRESULT TnxChannelExit::Disconnect() {
  // Declared first, released last: it may hold the exit's last reference.
  TInterfacePtr<InxChannelExit> keepAlive;
  TInterfacePtr<InxChannelSink> sink;
  TInterfacePtr<InxSessionNotifierIsolator> isolator;
  TInterfacePtr<InxSessionNotifications> notifications;
  {
    TnxPadlockGuard guard(chPadlock);
    keepAlive = std::move(chKeepAlive);
    sink = std::move(chChannelSink);
    isolator = std::move(chNotifierIsolator);
    notifications = std::move(chSessionNotifications);
  }
  if (sink) sink->RemoveChannel(this);
  if (isolator) isolator->Detach();
  return S_OK;
}

void TnxChannelExit::SessionDisconnected() {
  // An exit already in its last release disconnects in its destructor.
  if (!TryAddRef()) return;
  const TInterfacePtr<InxChannelExit> self = TInterfacePtr<InxChannelExit>::Attach(this);
  Disconnect();
}

HRESULT TnxChannelExit::Dispatch(InxReader* aReader, InxReplyWriter* aWriter) {
  if (!aReader || !aWriter) return E_INVALIDARG;
  if (auto init = Supports<InxInterfaceFilerInit>(static_cast<IInterface*>(aReader))) init->Init(&chServerID);
  if (auto init = Supports<InxInterfaceFilerInit>(static_cast<IInterface*>(aWriter))) init->Init(&chServerID);
  const int32_t kind = aReader->ReadInteger();
  if (kind == nxChannelClose) return Disconnect();
  if (kind != nxChannelCall) return RPC_E_INVALID_DATAPACKET;
  TInterfacePtr<InxChannelSink> sink;
  {
    TnxPadlockGuard guard(chPadlock);
    sink = chChannelSink;
    if (sink && !chKeepAlive) chKeepAlive = Counted<InxChannelExit>(this);
  }
  if (!sink) return RPC_E_DISCONNECTED;
  return sink->Dispatch(this, aReader, aWriter);
}

HRESULT nxCreateChannelExit(const TGUID& aServerID, InxSessionNotifications* aSessionNotifications,
                            InxChannelSink* aChannelSink, TInterfacePtr<InxChannelExit>& aExit) {
  aExit = nullptr;
  auto* exit = nxCreate<TnxChannelExit>(aServerID, aSessionNotifications, aChannelSink);
  TInterfacePtr<InxChannelExit> held = Counted<InxChannelExit>(exit);
  exit->Publish();
  nxKeepAlive(held.Get());
  aExit = std::move(held);
  return S_OK;
}

HRESULT nxFindChannelExit(const TGUID& aChannelID, TInterfacePtr<InxTransportChannelExit>& aExit) {
  aExit = nullptr;
  const std::array<uint32_t, 4> words = nxGuidWords(aChannelID);
  if ((words[0] ^ words[1] ^ words[2]) != words[3]) return RPC_E_INVALID_HEADER;
  if (TnxHandleTable::TagOf(words[0]) != kExitTag) return RPC_E_DISCONNECTED;
  TExitTable& exits = Exits();
  TnxPadlockGuard guard(exits.padlock);
  auto* exit = static_cast<TnxChannelExit*>(exits.table.Lookup(words[0], nullptr, 0));
  if (!exit || exit->chSecret != words[1] || exit->chGeneration != words[2] || !exit->TryAddRef())
    return RPC_E_DISCONNECTED;
  aExit = TInterfacePtr<InxTransportChannelExit>::Attach(exit);
  return S_OK;
}

int32_t nxLiveChannelExitCount() noexcept { return gLiveExits.load(std::memory_order_relaxed); }

// --- receiving ---------------------------------------------------------------

namespace {

HRESULT Route(TnxInterfacedRequestReader& aReader) {
  const TGUID server = aReader.ReadGuid();
  const TGUID channel = aReader.ReadGuid();
  if (!(server == nxProcessID())) return RPC_E_INVALID_DATAPACKET;
  TInterfacePtr<InxTransportChannelExit> exit;
  const HRESULT found = nxFindChannelExit(channel, exit);
  if (found != S_OK) return found;
  return exit->Dispatch(static_cast<InxRequestReader*>(&aReader), &aReader.ReplyWriter());
}

}  // namespace

void nxProcessChannelRequest(const TnxDataMessage& aMessage) {
  try {
    const TInterfacePtr<TnxInterfacedRequestReader> reader(nxCreate<TnxInterfacedRequestReader>(aMessage));
    HRESULT result = reader->ReadContext();
    // A block that could not be read leaves nothing to route by: what
    // follows would be taken for IDs at random.
    if (result == S_OK) {
      {
        TnxCallContextScope scope(reader->Context());
        result = Route(*reader);
      }
      reader->DropContext();
    }
    reader->ReplyWriter().Finish(result);
  } catch (...) {
    const uint32_t code = nxConvertCurrentException();
    if (code == 0 || code == nxeLostConnection) return;
    try {
      TnxBaseTransport::Reply(aMessage.dmMsg, code, nullptr, 0);
    } catch (...) {
      // Nobody is left to tell.
    }
  }
}

void nxChannelsStartup() { nxSetChannelRequestHook(&nxProcessChannelRequest); }

void nxChannelsShutdown() { nxSetChannelRequestHook(nullptr); }

}  // namespace revurov
