// What a listening transport does with the frames a client sends on one
// connection: a run of whole messages (header and body) through the
// server's dispatch, the handshake, log-in, requests, callbacks and
// terminations included, without a medium. The connection records the
// answers instead of writing them.
//
// A transport ID of 1 in a frame stands for the handle the last handshake
// answered, a session ID of 1 for the session of the last log-in, since
// handles differ from run to run. A log-in block of an uncompressed frame
// is sealed with the transport key before it goes in, so the block's texts
// are reached; every answer must be a well-formed message.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "fuzz/fuzz_input.h"
#include "fuzz/fuzz_seeds.h"
#include "lowlevel/cipher/blowfish_rc4.h"
#include "lowlevel/errors/error_codes.h"
#include "lowlevel/startup.h"
#include "platform/endian.h"
#include "platform/rtl_exception.h"
#include "transport/command_handler.h"
#include "transport/login_block.h"
#include "transport/message_frame.h"
#include "transport/pooled_transport.h"
#include "transport/request_reader.h"
#include "transport/server_connection.h"
#include "transport/server_discovery.h"

namespace revurov::fuzz {

namespace {

constexpr TnxTransportID kLastTransport = 1;
constexpr TnxSessionID kLastSession = 1;
constexpr uint32_t kMaxBody = 1u << 20;

// One user; requests are echoed.
class TEchoHandler : public TnxBaseCommandHandler {
  REVUROV_COMPONENT_CLASS(TEchoHandler, TnxBaseCommandHandler)
  using TnxBaseCommandHandler::TnxBaseCommandHandler;

  uint32_t bchAddSession(TnxBaseTransport*, const std::u16string& aUserName, const std::u16string& aPassword,
                         const std::u16string&, int32_t, int32_t, TnxSessionID& aSessionID,
                         int32_t& aServerVersion) override {
    if (aUserName != u"admin" || aPassword != u"secret") return nxeUnknownUserOrPassword;
    aSessionID = ++ehLastSession;
    aServerVersion = 47501;
    return 0;
  }
  uint32_t bchRemoveSession(TnxBaseTransport*, TnxSessionID) override { return 0; }
  void bchHandleMessage(const TnxDataMessage& aMessage) override {
    auto reader = TnxRequestReader::Create<TnxRequestReader>(aMessage);
    TnxDataMessageStream& in = reader->StreamForReading();
    if (in.GetSize() > 0) reader->Writer().Write(in.Memory(), in.GetSize());
    reader->Writer().Send();
  }
  platform::TGUID GetServerGUID() const override {
    return platform::nxGuid("{3C7A1E52-90B4-4D6F-8A21-5E0C9B7D4F18}");
  }

private:
  TnxSessionID ehLastSession = 0;
};

class TListener : public TnxBasePooledTransport {
  REVUROV_COMPONENT_CLASS(TListener, TnxBasePooledTransport)
  using TnxBasePooledTransport::TnxBasePooledTransport;

  std::u16string GetName() const override { return u"Fuzz"; }
  platform::TInterfacePtr<InxActiveBroadcast> BeginBroadcast(InxBroadcastReplyHandler*, int32_t) override {
    return platform::TInterfacePtr<InxActiveBroadcast>(nxCreate<TnxNullActiveBroadcast>());
  }

protected:
  // Messages are handed to the dispatch by the target itself: no medium, no
  // server threads.
  void DoStart() override {
    TnxBasePooledTransport::DoStart();
    if (Mode() == nxtmListen) SetServerStarted(true);
  }
};

// Every answer is checked as a client would receive it.
class TRecordingConnection final : public TnxBaseServerConnection {
public:
  using TnxBaseServerConnection::TnxBaseServerConnection;

  TnxTransportID rcTransport = 0;
  TnxSessionID rcSession = 0;

  void DoWrite(TnxTransportID aTransportID, TnxSessionID aSessionID, TnxThreadPriority aThreadPriority,
               TnxMsgID aMsgID, uint8_t aMsgType, uint32_t aErrorCode, uint8_t aCompressType,
               uint32_t aUncompressedSize, const void* aBuffer, uint32_t aBufferSize) override {
    const TnxMessageFields fields =
        nxMessageFields(aTransportID, aSessionID, aThreadPriority, aMsgID, aMsgType, aErrorCode, aCompressType);
    nxBuildFrame(fields, aUncompressedSize, {static_cast<const uint8_t*>(aBuffer), aBufferSize}, rcFrame);
    const TnxBaseHeader header = nxLoadHeader(rcFrame.Data());
    if (nxCheckHeader(header) != 0 || header.bhLength != rcFrame.Size()) std::abort();
    TnxHeapBuffer decompressed;
    const TnxReceivedMessage answer = nxTakeMessage(
        header, {rcFrame.Data() + nxHeaderSize, rcFrame.Size() - nxHeaderSize}, TnxReceiver::rcClient, decompressed);
    if (answer.rmError) std::abort();
    if (aMsgType == nxmtTransportReply && aErrorCode == 0) rcTransport = aTransportID;
    if (aMsgType == nxmtLoginReply && aErrorCode == 0) rcSession = aSessionID;
  }
  void ForceDisconnect() override { bcForcedDisconnect.store(true); }
  void IoCompleted(uint32_t, uint32_t) override {}

private:
  TnxHeapBuffer rcFrame;
};

struct Freed {
  void operator()(platform::TComponent* aComponent) const { platform::TComponent::Free(aComponent); }
};

void Seal(TnxBasePooledTransport& aTransport, uint8_t* aBlock) {
  TnxPadlockGuard guard(aTransport.CipherPadlock());
  aTransport.Cipher().ResetIVBlock(aBlock + nxLoginIVOffset);
  aTransport.Cipher().Encode(aBlock, nxLoginEncipheredSize);
  aTransport.Cipher().Final(aBlock + nxLoginAuthOffset);
}

std::string Frame(uint8_t aType, TnxTransportID aTransport, TnxSessionID aSession, TnxMsgID aMsgID,
                  const std::vector<uint8_t>& aPayload, uint8_t aCompressType = 0) {
  TnxMessageFields fields;
  fields.mfTransportID = aTransport;
  fields.mfSessionID = aSession;
  fields.mfMsgID = aMsgID;
  fields.mfMsgType = aType;
  fields.mfVersion = 2;
  fields.mfCompressType = aCompressType;
  TnxHeapBuffer frame;
  nxBuildMessage(fields, aPayload, frame);
  return std::string(reinterpret_cast<const char*>(frame.Data()), frame.Size());
}

std::vector<uint8_t> Login(std::u16string_view aUser, std::u16string_view aPassword, int32_t aClientVersion) {
  const TnxLoginBlock block = nxBuildLoginBlock(aUser, aPassword, 1000, aClientVersion);
  return {block.begin(), block.end()};
}

}  // namespace

// Shut down again at exit, before the leak check looks.
void SetUp() { static TnxLowLevelStartupGuard library; }

std::vector<std::string> Seeds() {
  const std::vector<uint8_t> interval{0x10, 0x27, 0, 0};
  const std::vector<uint8_t> request(300, 'r');
  const std::string open = Frame(nxmtOpenTransport, 0, 0, 0, interval);
  const std::string login = Frame(nxmtLogin, kLastTransport, 0, nxLoginMsgID, Login(u"admin", u"secret", 47501));
  return {
      open + login + Frame(nxmtRequest, kLastTransport, kLastSession, 0x10, request) +
          Frame(nxmtPost, kLastTransport, kLastSession, 0x11, {1, 2, 3}) +
          Frame(nxmtTerminateSession, kLastTransport, kLastSession, 0, {}),
      open + Frame(nxmtLogin, kLastTransport, 0, nxLoginMsgID, Login(u"\u00C4rger", u"x", 20000)) +
          Frame(nxmtRegisterCallback, kLastTransport, 0, 0, {}),
      open + login + Frame(nxmtRequest, kLastTransport, kLastSession, 0x12, request, 11) +
          Frame(nxmtKeepAlive, kLastTransport, 0, 0, {}) + Frame(nxmtDisconnect, kLastTransport, 0, 0, {}),
      Frame(nxmtAttachTransport, 7, 0, 0, {1, 2, 3, 4}) + Frame(nxmtRequest, 0, 0, 5, {}) + Frame(99, 0, 0, 0, {}),
  };
}

}  // namespace revurov::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* aData, size_t aSize) {
  using namespace revurov;
  using namespace revurov::fuzz;
  std::unique_ptr<TEchoHandler, Freed> handler(new TEchoHandler(nullptr));
  std::unique_ptr<TListener, Freed> server(new TListener(nullptr));
  server->SetServerName(u"FuzzServer");
  server->SetMode(nxtmListen);
  server->SetWatchdogInterval(0);
  server->SetCommandHandler(handler.get());
  server->SetActive(true);
  auto* connection = new TRecordingConnection(server.get());
  size_t at = 0;
  while (at + nxHeaderSize <= aSize && !connection->ForcedDisconnect()) {
    TnxBaseHeader header = nxLoadHeader(aData + at);
    if (nxCheckHeader(header) != 0 || header.bhLength - nxHeaderSize > kMaxBody) break;
    at += nxHeaderSize;
    if (header.bhTransportID == kLastTransport) header.bhTransportID = connection->rcTransport;
    if (header.bhSessionID == kLastSession) header.bhSessionID = connection->rcSession;
    // The medium reads exactly the body; what the input lacks is zeros.
    const size_t bodySize = header.bhLength - nxHeaderSize;
    std::unique_ptr<uint8_t[]> body(new uint8_t[bodySize]);
    const size_t present = std::min(bodySize, aSize - at);
    std::copy(aData + at, aData + at + present, body.get());
    std::fill(body.get() + present, body.get() + bodySize, 0);
    at += present;
    if (header.bhMsgType == nxmtLogin && bodySize == nxLoginBlockSize && header.bhCompressType == 0)
      Seal(*server, body.get());
    try {
      server->btProcessHeader(*connection, header, {body.get(), bodySize});
    } catch (const platform::Exception&) {
      // An answer that could not be written ends the connection.
      break;
    }
  }
  connection->Deactivate();
  server->SetActive(false);
  EnxBaseException::SetLastConvertedException(0, u"");
  return 0;
}
