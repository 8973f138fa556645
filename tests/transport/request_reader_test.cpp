// Readers over received messages, reply writers, the stream reply callback,
// and whole requests from a sending test transport to a listening one whose
// command handler answers through a reply writer on its own thread.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "lowlevel/errors/error_codes.h"
#include "lowlevel/heap/memory_manager.h"
#include "lowlevel/streams/memory_stream.h"
#include "support/named_component.h"
#include "support/test_command_handler.h"
#include "support/test_transport.h"
#include "support/u8_text.h"
#include "transport/request_reader.h"
#include "transport/transport_test_support.h"

namespace revurov {
namespace {

using testing::LibraryStarted;
using testing::TReplyKind;
using testing::TTestCommandHandler;
using testing::TTestTransport;
using testing::U8;

// ---- nxStreamReplyCallback ----

struct CallbackRow {
  const char* name;
  TnxNetMsgDataType mode;
  TnxMsgID replyID;  // the cookie expects 0x223
  std::string data;
  uint32_t expectedResult;
  int32_t expectedLen;              // -7: untouched
  std::string expectedDestination;  // block or stream contents; "-": untouched
  int64_t expectedPosition;         // stream modes
};

const CallbackRow kCallbackRows[] = {
    {"mode 0 copies into a new heap block", nmdByteArray, 0x223, "abc", 17, 3, "abc", 0},
    {"mode 1 writes and rewinds", nmdStream, 0x223, "abc", 17, 3, "xyabc", 0},
    {"mode 2 leaves the position at the end", nmdStreamLeavePosition, 0x223, "abc", 17, 3, "xyabc", 5},
    {"another message number is unrecognized", nmdStream, 15522, "abc", nxeMessageUnrecognized, -7, "-", 2},
    {"no data sets result and length only", nmdStream, 0x223, "", 17, 0, "-", 2},
    {"no data in mode 0 leaves the block alone", nmdByteArray, 0x223, "", 17, 0, "-", 0},
};

class StreamReplyCallback : public LibraryStarted {};

TEST_F(StreamReplyCallback, HandsTheReplyOverAsTheModeSays) {
  for (const CallbackRow& row : kCallbackRows) {
    SCOPED_TRACE(row.name);
    void* block = nullptr;
    TnxMemoryStream stream;
    stream.WriteBuffer("xy", 2);
    platform::TStream* streamVar = &stream;
    int32_t len = -7;
    TnxStreamReplyCookie cookie{0x223, 10756, nullptr, &len, row.mode};
    cookie.srcReply = row.mode == nmdByteArray ? static_cast<void*>(&block) : &streamVar;
    const uint32_t code = row.replyID == 0x223 ? 17 : 0;
    nxStreamReplyCallback(row.replyID, code, row.data.empty() ? nullptr : row.data.data(),
                          static_cast<int32_t>(row.data.size()), &cookie);
    EXPECT_EQ(cookie.srcResult, row.expectedResult);
    EXPECT_EQ(len, row.expectedLen);
    if (row.mode == nmdByteArray) {
      if (row.expectedDestination == "-") {
        EXPECT_EQ(block, nullptr);
      } else {
        ASSERT_NE(block, nullptr);
        EXPECT_EQ(std::string(static_cast<char*>(block), row.data.size()), row.expectedDestination);
      }
      nxFreeMem(block);
    } else {
      const std::string contents(static_cast<char*>(stream.Memory()), static_cast<size_t>(stream.GetSize()));
      EXPECT_EQ(contents, row.expectedDestination == "-" ? "xy" : row.expectedDestination);
      EXPECT_EQ(stream.Position(), row.expectedPosition);
      EXPECT_EQ(streamVar, &stream);
    }
  }
}

TEST_F(StreamReplyCallback, WorksWithoutLengthOrDestination) {
  TnxStreamReplyCookie cookie{5, 0, nullptr, nullptr, nmdByteArray};
  nxStreamReplyCallback(5, 9, "abc", 3, &cookie);
  EXPECT_EQ(cookie.srcResult, 9u);
}

// ---- readers and writers ----

class ReaderTest : public LibraryStarted {
protected:
  // A message whose data are the values aWrite writes.
  template <class F>
  static TnxDataMessage Message(TnxMsgID aMsgID, F aWrite) {
    TnxMemoryStream stream;
    {
      TnxWriter writer(stream);
      aWrite(writer);
    }
    TnxDataMessage message;
    message.dmMsg = aMsgID;
    message.dmDataLen = stream.GetSize();
    message.dmData = nxAllocHeapBlock(static_cast<size_t>(message.dmDataLen));
    std::memcpy(message.dmData.get(), stream.Memory(), static_cast<size_t>(message.dmDataLen));
    return message;
  }
};

// Reply writers borrow their thread's kept stream when it is free.
class ReplyWriterTest : public LibraryStarted {};

TEST_F(ReplyWriterTest, WritersOfOneThreadNeverShareAStreamAndEachStartsEmpty) {
  {
    TnxReplyWriter outer(0x100);
    outer.WriteInteger(1);
    TnxMemoryStream& a = outer.StreamForSending();
    {
      TnxReplyWriter inner(0x101);  // while the kept stream is lent out
      inner.WriteInteger(300);
      TnxMemoryStream& b = inner.StreamForSending();
      EXPECT_NE(&a, &b);
      EXPECT_EQ(b.GetSize(), 3);
    }
    EXPECT_EQ(a.GetSize(), 2) << "nothing of the inner reply";
    outer.WriteInteger(2);  // left unsent in the buffer
  }
  {
    TnxReplyWriter large(0x102);
    const std::vector<uint8_t> blob(3 * 1024 * 1024, 0x5A);
    large.Write(blob.data(), static_cast<int64_t>(blob.size()));
    EXPECT_EQ(large.StreamForSending().GetSize(), static_cast<int64_t>(blob.size()));
  }
  TnxReplyWriter next(0x103);
  TnxMemoryStream& stream = next.StreamForSending();
  EXPECT_EQ(stream.GetSize(), 0);
  EXPECT_EQ(stream.Position(), 0);
  EXPECT_LE(stream.Capacity(), 1024 * 1024) << "a large reply's memory is not kept";
}

TEST_F(ReaderTest, ReadsTheMessageInPlaceAndRefusesWrites) {
  const TnxDataMessage message = Message(0x223, [](TnxWriter& w) {
    w.WriteInteger(int32_t{42});
    w.WriteString(u"table");
  });
  auto reader = TnxDataMessageReader::Create(message);
  EXPECT_EQ(reader->MsgID(), 0x223u);
  EXPECT_EQ(reader->ReadInteger(), 42);
  TnxDataMessageStream& stream = reader->StreamForReading();
  EXPECT_EQ(stream.Memory(), message.dmData.get()) << "no copy";
  EXPECT_EQ(stream.Position(), 2) << "the read-ahead is given back: tag and one byte of 42";
  EXPECT_EQ(U8(reader->ReadString()), "table");
  EXPECT_EQ(stream.Write("z", 1), 0);
  EXPECT_THROW(stream.WriteBuffer("z", 1), platform::Exception);
  EXPECT_EQ(reader->CreateReplyWriter()->MsgID(), 0x223u);
}

TEST_F(ReaderTest, AMessageWithoutDataGivesAnEmptyStream) {
  TnxDataMessage message;
  message.dmMsg = 7;
  auto reader = TnxDataMessageReader::Create(message);
  EXPECT_EQ(reader->StreamForReading().GetSize(), 0);
  EXPECT_EQ(reader->BytesLeft(), 0);
}

// A request format with a u32 prefix before the values, and a writer that
// marks its replies.
class TMarkedWriter : public TnxReplyWriter {
public:
  explicit TMarkedWriter(TnxMsgID aMsgID) : TnxReplyWriter(aMsgID) { Error = 77; }
};

class TPrefixedReader : public TnxRequestReader {
public:
  uint32_t prefix = 0;
  bool writerFirst = false;

protected:
  using TnxRequestReader::TnxRequestReader;
  friend class TnxDataMessageReader;
  std::unique_ptr<TnxReplyWriter> CreateReplyWriter() override {
    return std::make_unique<TMarkedWriter>(MsgID());
  }
  void ReadPrefix() override {
    writerFirst = Writer().Error == 77;
    Read(&prefix, sizeof prefix);
  }
};

TEST_F(ReaderTest, SubclassHooksRunOnceTheReaderIsWhole) {
  const TnxDataMessage message = Message(9, [](TnxWriter& w) {
    const uint32_t prefix = 0xA1B2C3D4;
    w.Write(&prefix, sizeof prefix);
    w.WriteBoolean(true);
  });
  auto reader = TnxDataMessageReader::Create<TPrefixedReader>(message);
  EXPECT_TRUE(reader->writerFirst);
  EXPECT_EQ(reader->prefix, 0xA1B2C3D4u);
  EXPECT_TRUE(reader->ReadBoolean());
}

// ---- requests between two test transports ----

struct Freed {
  void operator()(platform::TComponent* aComponent) const { platform::TComponent::Free(aComponent); }
};

class RequestTest : public LibraryStarted {
protected:
  void SetUp() override {
    LibraryStarted::SetUp();
    handler.reset(testing::Make<TTestCommandHandler>(u"Handler"));
    server.reset(testing::Make<TTestTransport>(u"Server"));
    server->SetMode(nxtmListen);
    server->SetServerName(u"S");
    server->SetCommandHandler(handler.get());
    server->SetActive(true);
    client.reset(testing::Make<TTestTransport>(u"Client"));
    client->SetServerName(u"S");
    client->Server = server.get();
    client->SetActive(true);
  }
  void TearDown() override {
    client.reset();
    server.reset();
    handler.reset();
    LibraryStarted::TearDown();
  }

  struct Result {
    uint32_t code;
    std::string data;
  };
  Result Ask(TnxMsgID aMsgID, const std::string& aData, TnxTransportID aTransportID = 0) {
    TnxMemoryStream reply;
    platform::TStream* replyVar = &reply;
    int32_t len = 0;
    TnxStreamReplyCookie cookie{aMsgID, 10756, &replyVar, &len, nmdStream};
    client->Request(aTransportID, session, 0, aMsgID, 0, aData.data(),
                    static_cast<int32_t>(aData.size()), &nxStreamReplyCallback, &cookie);
    return {cookie.srcResult, std::string(static_cast<char*>(reply.Memory()), static_cast<size_t>(len))};
  }

  std::unique_ptr<TTestCommandHandler, Freed> handler;
  std::unique_ptr<TTestTransport, Freed> server;
  std::unique_ptr<TTestTransport, Freed> client;
  TnxSessionID session = 0;
};

TEST_F(RequestTest, LogInWithTheHandlersUserOnly) {
  int32_t version = 0;
  EXPECT_EQ(client->EstablishConnection(0, u"admin", u"wrong", 1000, 47501, version, session),
            nxeUnknownUserOrPassword);
  EXPECT_EQ(client->EstablishConnection(0, u"admin", u"secret", 1000, 47501, version, session), 0u);
  EXPECT_EQ(session, 1u);
  EXPECT_EQ(version, 47501);
  client->TerminateConnection(0, session, 1000);
  EXPECT_TRUE(handler->Sessions().empty());
}

TEST_F(RequestTest, ReplyWriterOnTheHandlerThreadAnswersThroughTheServingTransport) {
  handler->Script(0x301, {TReplyKind::rkFixed, {'o', 'k'}, 0, {}});
  handler->Script(0x302, {TReplyKind::rkFixed, {}, nxeUnknownUserOrPassword, u"who are you"});
  handler->Script(0x303, {TReplyKind::rkRaise, {}, 8451, u"broken"});
  handler->Script(0x304, {TReplyKind::rkReplyTwice, {'1'}, 0, {}});
  handler->Script(0x305, {TReplyKind::rkNoReply, {}, 0, {}});
  struct Row {
    const char* name;
    TnxMsgID msgID;
    uint32_t code;
    std::string data;
  } rows[] = {
      {"echo", 0x300, 0, "payload"},
      {"fixed reply", 0x301, 0, "ok"},
      {"fixed code", 0x302, nxeUnknownUserOrPassword, ""},
      {"exception before the reply", 0x303, 8451, ""},
      {"the second reply is refused", 0x304, 0, "1"},
      {"no reply", 0x305, nxeMessageUnrecognized, ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const Result result = Ask(row.msgID, "payload");
    EXPECT_EQ(result.code, row.code);
    EXPECT_EQ(result.data, row.data);
  }
  EXPECT_EQ(handler->Received().size(), std::size(rows));
  EXPECT_EQ(server->MsgCount(), static_cast<int32_t>(std::size(rows)));
  EXPECT_EQ(client->MessagesSent(), static_cast<int64_t>(std::size(rows)));
  EXPECT_EQ(client->MessagesReceived(), static_cast<int64_t>(std::size(rows)));
  EXPECT_EQ(server->MessagesSent(), 4) << "no reply went out for the exception, the refused second reply or the missing one";
}

TEST_F(RequestTest, TransportFailuresArriveThroughTheCallback) {
  EXPECT_EQ(Ask(0x300, "x", 5).code, nxeInvalidHandle) << "a client passes no transport ID";
  server->SetActive(false);
  EXPECT_EQ(Ask(0x300, "x").code, nxeLostConnection);
  EXPECT_TRUE(handler->Received().empty());
}

TEST_F(RequestTest, PostsAreServedWithoutReply) {
  client->Post(0, session, 0, 0x310, "p", 1, 0);
  const auto received = handler->Received();
  ASSERT_EQ(received.size(), 1u);
  EXPECT_EQ(received[0].data, std::vector<uint8_t>{'p'});
  EXPECT_EQ(server->MessagesSent(), 0);
}

}  // namespace
}  // namespace revurov
