// The remote cursor's blobs over loopback TCP against the handler's blob
// model: chunked reads and writes, reads under a server snapshot, the
// record forms and renumbered blobs, and replies that do not fit.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "engine/remote_cursor.h"
#include "engine/remote_cursor_wire.h"
#include "lowlevel/errors/error_codes.h"
#include "lowlevel/streams/memory_stream.h"
#include "platform/endian.h"
#include "support/remote_cursor_fixture.h"

namespace revurov::testing {
namespace {

using Ids = std::vector<TnxMsgID>;

constexpr uint32_t kMiB = nxRemoteBlobChunkSize;
constexpr int32_t kMemo = 2;
constexpr TnxRecID kNoRecID{0, 0};
constexpr TnxRecID kRecID{7, 3};
constexpr TnxBlobNr kBlob = 500;
constexpr TnxClientFeatures kNoReduction = nxAllClientFeatures & ~(1u << cfMessageReduction);

// Counts how often the stream's memory is asked to change.
class TCountingStream : public TnxMemoryStream {
public:
  TCountingStream() : TnxMemoryStream(-1) {}
  int reallocs = 0;

protected:
  void* Realloc(int64_t& aNewCapacity) override {
    ++reallocs;
    return TnxMemoryStream::Realloc(aNewCapacity);
  }
};

// Takes writes until it holds aLimit bytes, the part of a write that
// fits, and refuses the rest (a full disk under a file stream).
class TFillingStream : public TnxMemoryStream {
public:
  explicit TFillingStream(int64_t aLimit) : TnxMemoryStream(-1), fsLimit(aLimit) {}
  int64_t Write(const void* aBuffer, int64_t aCount) override {
    return TnxMemoryStream::Write(aBuffer, std::min(aCount, std::max<int64_t>(0, fsLimit - Position())));
  }

private:
  int64_t fsLimit;
};

std::vector<uint8_t> Pattern(size_t aSize, uint8_t aSeed = 1) {
  std::vector<uint8_t> bytes(aSize);
  for (size_t i = 0; i < aSize; ++i) bytes[i] = static_cast<uint8_t>(aSeed + i * 7 + (i >> 12));
  return bytes;
}

std::vector<uint8_t> Contents(TnxMemoryStream& aStream) {
  const auto* bytes = static_cast<const uint8_t*>(aStream.Memory());
  return std::vector<uint8_t>(bytes, bytes + aStream.GetSize());
}

class RemoteCursorBlobsTest : public RemoteCursorFixture {
protected:
  // A context on every database: a snapshot closed by the client shows.
  void SetUp() override {
    handler->Configure([](TTestCommandHandler& h) { h.OpenWithContext = true; });
  }
  // The handler's blob aNr.
  void Blob(TnxBlobNr aNr, std::vector<uint8_t> aBytes) {
    handler->Configure([&](TTestCommandHandler& h) { h.Blobs[aNr] = std::move(aBytes); });
  }
  std::vector<uint8_t> ServerBlob(TnxBlobNr aNr) {
    std::vector<uint8_t> bytes;
    handler->Configure([&](TTestCommandHandler& h) { bytes = h.Blobs[aNr]; });
    return bytes;
  }
  std::vector<int32_t> SnapshotStates() {
    std::vector<int32_t> states;
    handler->Configure([&](TTestCommandHandler& h) { states = h.BlobSnapshotStates; });
    return states;
  }
  // Requests sent since aBefore, without those of the transaction context.
  Ids CursorSent(size_t aBefore) {
    Ids ids;
    for (TnxMsgID id : SentBy(session, aBefore))
      if ((id & 0xF00) != 0x900) ids.push_back(id);
    return ids;
  }
  bool RolledBack(size_t aBefore) {
    for (TnxMsgID id : SentBy(session, aBefore))
      if (id == 0x904 || id == 0x914) return true;
    return false;
  }
};

TEST_F(RemoteCursorBlobsTest, ALongReadRunsInChunksUnderOneServerSnapshotAndSizesTheStreamOnce) {
  const std::vector<uint8_t> blob = Pattern(3 * kMiB);
  Blob(kBlob, blob);
  TnxRemoteCursor* cursor = ConnectAndOpen(47005);
  ASSERT_NE(cursor, nullptr);
  TCountingStream stream;
  stream.SetCapacity(kMiB);
  stream.reallocs = 0;
  const size_t before = SentCount(session);
  TnxNewBlobNr newNr;
  ASSERT_EQ(cursor->BlobRead(kNoRecID, kMemo, kBlob, 0, 3 * kMiB, stream, false, &newNr), 0u);
  EXPECT_EQ(CursorSent(before), (Ids{0x89B, 0x89B, 0x89B}));
  EXPECT_EQ(SnapshotStates(), (std::vector<int32_t>{brssRequestStart, brssStarted, brssRequestClose}));
  EXPECT_EQ(stream.reallocs, 1);
  EXPECT_TRUE(Contents(stream) == blob);
  EXPECT_FALSE(newNr.nbnSet);
  EXPECT_EQ(newNr.nbnBlobNr, kBlob);
  // The server closed the snapshot with the last chunk.
  EXPECT_FALSE(RolledBack(before));
}

TEST_F(RemoteCursorBlobsTest, ReadsAnswerWhatTheBlobHoldsInTheFormTheServerKnows) {
  const struct {
    const char* name;
    int32_t version;
    TnxRecID recID;
    size_t blobSize;
    uint32_t offset, len;
    size_t expected;
    Ids sent;
  } cases[] = {
      {"a short blob ends the read", 47501, kNoRecID, 40, 0, 100, 40, {0x895}},
      {"record form", 47501, kRecID, 40, 0, 100, 40, {0xA95}},
      {"from an offset", 47501, kNoRecID, 40, 30, 100, 10, {0x895}},
      {"past the end", 47501, kRecID, 40, 50, 100, 0, {0xA95}},
      {"no record form on 47004", 47004, kRecID, 40, 0, 100, 40, {0x895}},
      {"no snapshot on 47004: plain chunks", 47004, kNoRecID, 2 * kMiB + 5, 0, 3 * kMiB, 2 * kMiB + 5,
       {0x895, 0x895, 0x895}},
      {"the blob's length ends a snapshot read", 47501, kNoRecID, kMiB + kMiB / 2, 0, 3 * kMiB, kMiB + kMiB / 2,
       {0x89B, 0x89B}},
      {"nothing asked", 47501, kNoRecID, 40, 0, 0, 0, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::vector<uint8_t> blob = Pattern(c.blobSize);
    Blob(kBlob, blob);
    TnxRemoteCursor* cursor = ConnectAndOpen(c.version);
    ASSERT_NE(cursor, nullptr);
    TnxMemoryStream stream(-1);
    const size_t before = SentCount(session);
    ASSERT_EQ(cursor->BlobRead(c.recID, kMemo, kBlob, c.offset, c.len, stream, false, nullptr), 0u);
    EXPECT_EQ(CursorSent(before), c.sent);
    const size_t from = std::min<size_t>(c.offset, blob.size());
    EXPECT_TRUE(Contents(stream) ==
                std::vector<uint8_t>(blob.begin() + from, blob.begin() + from + c.expected));
    EXPECT_FALSE(RolledBack(before));
  }
}

TEST_F(RemoteCursorBlobsTest, AReplyOverrunningItsChunkIsRefusedAndLeavesTheStreamAsItWas) {
  const struct {
    const char* name;
    TnxRecID recID;
    size_t blobSize;
    uint32_t len;
    int64_t position;
    TnxMsgID sent;
  } cases[] = {
      {"reply appended at the stream's end", kNoRecID, 40, 20, 6, 0x895},
      {"reply inside the stream", kNoRecID, 40, 20, 3, 0x895},
      {"record form", kRecID, 40, 20, 3, 0xA95},
      {"snapshot chunk", kNoRecID, 3 * kMiB, 3 * kMiB, 3, 0x89B},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Blob(kBlob, Pattern(c.blobSize));
    handler->Configure([](TTestCommandHandler& h) { h.BlobExtraBytes = 3; });
    TnxRemoteCursor* cursor = ConnectAndOpen(47501);
    ASSERT_NE(cursor, nullptr);
    TnxMemoryStream stream(-1);
    stream.WriteBuffer("abcdef", 6);
    stream.SetPosition(c.position);
    const size_t before = SentCount(session);
    EXPECT_EQ(cursor->BlobRead(c.recID, kMemo, kBlob, 0, c.len, stream, false, nullptr), nxeMessageUnrecognized);
    EXPECT_EQ(CursorSent(before), Ids{c.sent});
    EXPECT_EQ(stream.GetSize(), 6);
    EXPECT_EQ(stream.Position(), c.position);
    EXPECT_EQ(std::memcmp(stream.Memory(), "abcdef", 6), 0);
  }
}

// The chunk is read from the transport's buffer: a reply that comes as a
// part of a multi-reply goes through the queue and lands the same.
TEST_F(RemoteCursorBlobsTest, ChunksThatComeInsideAMultiReplyLandAsDirectOnesDo) {
  const struct {
    const char* name;
    TnxRecID recID;
    size_t blobSize;
    uint32_t len;
    TnxMsgID id;
  } cases[] = {
      {"plain read", kNoRecID, 40, 100, 0x895},
      {"record form", kRecID, 40, 100, 0xA95},
      {"snapshot chunks", kNoRecID, 2 * kMiB + 7, 3 * kMiB, 0x89B},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::vector<uint8_t> blob = Pattern(c.blobSize);
    Blob(kBlob, blob);
    TnxRemoteCursor* cursor = ConnectAndOpen(47501);
    ASSERT_NE(cursor, nullptr);
    handler->Script(c.id, Injected(TReplyKind::rkMultiReply));
    TnxMemoryStream stream(-1);
    stream.WriteBuffer("ab", 2);
    EXPECT_EQ(cursor->BlobRead(c.recID, kMemo, kBlob, 0, c.len, stream, false, nullptr), 0u);
    std::vector<uint8_t> expected{'a', 'b'};
    expected.insert(expected.end(), blob.begin(), blob.end());
    EXPECT_TRUE(Contents(stream) == expected);
    handler->Script(c.id, {});
  }
}

TEST_F(RemoteCursorBlobsTest, AStreamThatRefusesPartOfAChunkGetsBackItsEarlierChunksOnly) {
  const struct {
    const char* name;
    TnxRecID recID;
    size_t blobSize;
    int64_t limit;  // the stream takes this much
    size_t kept;    // what stays of the blob
  } cases[] = {
      {"plain read", kNoRecID, 40, 12, 0},
      {"record form", kRecID, 40, 12, 0},
      {"snapshot chunks", kNoRecID, 3 * kMiB, 2 + kMiB + 100, kMiB},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::vector<uint8_t> blob = Pattern(c.blobSize);
    Blob(kBlob, blob);
    TnxRemoteCursor* cursor = ConnectAndOpen(47501);
    ASSERT_NE(cursor, nullptr);
    TFillingStream stream(c.limit);
    stream.WriteBuffer("ab", 2);
    const size_t before = SentCount(session);
    EXPECT_EQ(cursor->BlobRead(c.recID, kMemo, kBlob, 0, static_cast<uint32_t>(c.blobSize), stream, false, nullptr),
              nxeUnknownException);
    std::vector<uint8_t> expected{'a', 'b'};
    expected.insert(expected.end(), blob.begin(), blob.begin() + static_cast<std::ptrdiff_t>(c.kept));
    EXPECT_TRUE(Contents(stream) == expected);
    EXPECT_EQ(stream.Position(), stream.GetSize());
    EXPECT_EQ(RolledBack(before), c.blobSize > kMiB);
    // The connection was not the stream's victim: the next read is served.
    TnxMemoryStream next(-1);
    EXPECT_EQ(cursor->BlobRead(c.recID, kMemo, kBlob, 0, 40, next, false, nullptr), 0u);
    EXPECT_TRUE(Contents(next) == std::vector<uint8_t>(blob.begin(), blob.begin() + 40));
  }
}

TEST_F(RemoteCursorBlobsTest, ASnapshotLeftOpenByAFailedChunkIsRolledBack) {
  Blob(kBlob, Pattern(3 * kMiB));
  TnxRemoteCursor* cursor = ConnectAndOpen(47501);
  ASSERT_NE(cursor, nullptr);
  // The second chunk is refused after the server opened the snapshot.
  TnxMemoryStream stream(-1);
  const size_t before = SentCount(session);
  handler->Script(0x89B, Fixed(nxeBlobError, {4, 0, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(cursor->BlobRead(kNoRecID, kMemo, kBlob, 0, 3 * kMiB, stream, false, nullptr), nxeBlobError);
  EXPECT_EQ(stream.GetSize(), 0);
  EXPECT_TRUE(RolledBack(before));
}

TEST_F(RemoteCursorBlobsTest, RawRepliesShorterThanTheirLayoutAreRefused) {
  const struct {
    const char* name;
    TnxMsgID id;
    std::vector<uint8_t> reply;
  } cases[] = {
      {"create, 7 bytes", 0x891, std::vector<uint8_t>(7)},
      {"length, 3 bytes", 0x89A, std::vector<uint8_t>(3)},
      {"record-form length, 12 bytes", 0xA9A, std::vector<uint8_t>(12)},
      {"record-form read, 12 bytes", 0xA95, std::vector<uint8_t>(12)},
      {"record-form read counting more than it holds", 0xA95, {5, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 2}},
      {"snapshot read, 8 bytes", 0x89B, std::vector<uint8_t>(8)},
      {"record-form snapshot read, 17 bytes", 0xA9B, std::vector<uint8_t>(17)},
      {"snapshot state out of range", 0x89B, {9, 0, 0, 0, 0, 0, 0, 0, 0}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Blob(kBlob, Pattern(40));
    TnxRemoteCursor* cursor = ConnectAndOpen(47501);
    ASSERT_NE(cursor, nullptr);
    handler->Script(c.id, Fixed(0, c.reply));
    const TnxRecID recID = (c.id & 0x200) ? kRecID : kNoRecID;
    TnxMemoryStream stream(-1);
    stream.WriteBuffer("xyz", 3);
    uint32_t result = 0;
    if (c.id == 0x891) {
      TnxBlobNr nr = 99;
      result = cursor->BlobCreate(recID, kMemo, nr);
      EXPECT_EQ(nr, 0);
    } else if ((c.id & 0xFF) == 0x9A) {
      uint32_t length = 5;
      result = cursor->BlobGetLength(recID, kMemo, kBlob, length, false, nullptr);
      EXPECT_EQ(length, 0u);
    } else if ((c.id & 0xFF) == 0x95) {
      result = cursor->BlobRead(recID, kMemo, kBlob, 0, 100, stream, false, nullptr);
    } else {
      TnxBlobReadSnapshotState state = brssRequestStart;
      uint32_t length = 0;
      result = cursor->BlobReadSnapshoted(recID, kMemo, kBlob, 0, 100, stream, false, state, &length, nullptr);
    }
    EXPECT_EQ(result, nxeMessageUnrecognized);
    EXPECT_EQ(stream.GetSize(), 3);
    handler->Script(c.id, {});
  }
}

TEST_F(RemoteCursorBlobsTest, ARenumberedBlobIsFollowedWhileTheServerNamesNewNumbers) {
  const struct {
    const char* name;
    std::map<int64_t, int64_t> renumbered;
    bool snapshot;  // a long snapshot read; else a length request
    uint32_t result;
    size_t requests;
  } cases[] = {
      {"length, one renumbering", {{500, 501}}, false, 0, 2},
      {"length, two renumberings", {{500, 501}, {501, 502}}, false, 0, 3},
      {"length, alternating numbers", {{500, 501}, {501, 500}}, false, nxeBlobModified, 2},
      {"snapshot read, one renumbering", {{500, 501}}, true, 0, 2},
      {"snapshot read, alternating numbers", {{500, 501}, {501, 500}}, true, nxeBlobModified, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    handler->Configure([&](TTestCommandHandler& h) {
      h.Blobs.clear();
      h.Blobs[501] = Pattern(40);
      h.Blobs[502] = Pattern(40);
      h.BlobRenumbered = c.renumbered;
    });
    TnxRemoteCursor* cursor = ConnectAndOpen(47501);
    ASSERT_NE(cursor, nullptr);
    const size_t before = SentCount(session);
    TnxNewBlobNr newNr;
    uint32_t length = 0;
    TnxMemoryStream stream(-1);
    if (c.snapshot) {
      TnxBlobReadSnapshotState state = brssRequestClose;
      EXPECT_EQ(cursor->BlobReadSnapshoted(kRecID, kMemo, kBlob, 0, 3 * kMiB, stream, false, state, &length, &newNr),
                c.result);
      EXPECT_EQ(CursorSent(before), Ids(c.requests, 0xA9B));
    } else {
      EXPECT_EQ(cursor->BlobGetLength(kRecID, kMemo, kBlob, length, false, &newNr), c.result);
      EXPECT_EQ(CursorSent(before), Ids(c.requests, 0xA9A));
    }
    if (c.result == 0) {
      EXPECT_EQ(length, 40u);
      EXPECT_TRUE(newNr.nbnSet);
      EXPECT_EQ(newNr.nbnBlobNr, c.renumbered.size() == 1 ? 501 : 502);
      if (c.snapshot) {
        EXPECT_TRUE(Contents(stream) == Pattern(40));
      }
    } else {
      EXPECT_EQ(stream.GetSize(), 0);
    }
  }
}

TEST_F(RemoteCursorBlobsTest, AReadOfARenumberedBlobLeavesTheRepeatToItsCaller) {
  handler->Configure([&](TTestCommandHandler& h) {
    h.Blobs[501] = Pattern(40);
    h.BlobRenumbered = {{kBlob, 501}};
  });
  TnxRemoteCursor* cursor = ConnectAndOpen(47501);
  ASSERT_NE(cursor, nullptr);
  TnxMemoryStream stream(-1);
  TnxNewBlobNr newNr;
  EXPECT_EQ(cursor->BlobRead(kRecID, kMemo, kBlob, 0, 100, stream, false, &newNr), nxeBlobModified);
  EXPECT_TRUE(newNr.nbnSet);
  EXPECT_EQ(newNr.nbnBlobNr, 501);
  EXPECT_EQ(stream.GetSize(), 0);
}

TEST_F(RemoteCursorBlobsTest, SnapshotReadsRefuseDeadStatesAndPickTheirRoad) {
  Blob(kBlob, Pattern(40));
  TnxRemoteCursor* cursor = ConnectAndOpen(47501);
  ASSERT_NE(cursor, nullptr);
  TnxMemoryStream stream(-1);
  uint32_t length = 0;
  for (TnxBlobReadSnapshotState dead : {brssFailedToStart, brssFailedToClose, brssClosed}) {
    TnxBlobReadSnapshotState state = dead;
    const size_t before = SentCount(session);
    EXPECT_EQ(cursor->BlobReadSnapshoted(kNoRecID, kMemo, kBlob, 0, 100, stream, false, state, &length, nullptr),
              nxeInvalidParameter);
    EXPECT_EQ(SentCount(session), before);
  }
  // No snapshot and no length asked: a plain read.
  TnxBlobReadSnapshotState state = brssNone;
  size_t before = SentCount(session);
  EXPECT_EQ(cursor->BlobReadSnapshoted(kNoRecID, kMemo, kBlob, 0, 100, stream, false, state, nullptr, nullptr), 0u);
  EXPECT_EQ(CursorSent(before), Ids{0x895});
  // The server runs the snapshot: one request carries state and length;
  // the caller's record holds the number read, whatever it held before.
  state = brssRequestStart;
  before = SentCount(session);
  TnxNewBlobNr newNr{7, true};
  EXPECT_EQ(cursor->BlobReadSnapshoted(kRecID, kMemo, kBlob, 0, 100, stream, false, state, &length, &newNr), 0u);
  EXPECT_EQ(CursorSent(before), Ids{0xA9B});
  EXPECT_EQ(length, 40u);
  EXPECT_EQ(state, brssStarted);
  EXPECT_EQ(newNr.nbnBlobNr, kBlob);
  EXPECT_FALSE(newNr.nbnSet);
  // Without message reduction the client runs it: a length and a read.
  nxSetClientFeatures(kNoReduction);
  cursor = ConnectAndOpen(47501);
  ASSERT_NE(cursor, nullptr);
  state = brssRequestStart;
  before = SentCount(session);
  EXPECT_EQ(cursor->BlobReadSnapshoted(kNoRecID, kMemo, kBlob, 0, 100, stream, false, state, &length, nullptr), 0u);
  EXPECT_EQ(CursorSent(before), (Ids{0x89A, 0x895}));
}

TEST_F(RemoteCursorBlobsTest, AChunkThatBringsNothingEndsALongSnapshotRead) {
  Blob(kBlob, Pattern(40));
  TnxRemoteCursor* cursor = ConnectAndOpen(47501);
  ASSERT_NE(cursor, nullptr);
  // Started, a blob "4 GiB long", no bytes: the offset cannot move on.
  handler->Script(0x89B, Fixed(0, {brssStarted, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0}));
  TnxMemoryStream stream(-1);
  TnxBlobReadSnapshotState state = brssRequestClose;
  uint32_t length = 0;
  const size_t before = SentCount(session);
  EXPECT_EQ(cursor->BlobReadSnapshoted(kNoRecID, kMemo, kBlob, 0, 3 * kMiB, stream, false, state, &length, nullptr),
            0u);
  EXPECT_EQ(CursorSent(before), Ids{0x89B});
  EXPECT_EQ(stream.GetSize(), 0);
  // The snapshot the caller asked to close is closed by the client.
  EXPECT_TRUE(RolledBack(before));
}

TEST_F(RemoteCursorBlobsTest, WritesGoInChunksAndAnEmptyWriteSendsNothing) {
  Blob(kBlob, {});
  TnxRemoteCursor* cursor = ConnectAndOpen(47501);
  ASSERT_NE(cursor, nullptr);
  const std::vector<uint8_t> data = Pattern(2 * kMiB + 10);
  size_t before = SentCount(session);
  ASSERT_EQ(cursor->BlobWrite(kNoRecID, kMemo, kBlob, 5, 0, nullptr), 0u);
  EXPECT_EQ(SentCount(session), before);
  ASSERT_EQ(cursor->BlobWrite(kRecID, kMemo, kBlob, 5, static_cast<uint32_t>(data.size()), data.data()), 0u);
  EXPECT_EQ(CursorSent(before), (Ids{0xA96, 0xA96, 0xA96}));
  std::vector<uint8_t> expected(5, 0);
  expected.insert(expected.end(), data.begin(), data.end());
  EXPECT_TRUE(ServerBlob(kBlob) == expected);
  // A failing chunk ends the write.
  handler->Script(0x896, Fixed(nxeBlobError));
  before = SentCount(session);
  EXPECT_EQ(cursor->BlobWrite(kNoRecID, kMemo, kBlob, 0, static_cast<uint32_t>(data.size()), data.data()),
            nxeBlobError);
  EXPECT_EQ(CursorSent(before), Ids{0x896});
}

TEST_F(RemoteCursorBlobsTest, ReplaceSendsItsFirstChunkInOneRequestOnNewerServers) {
  const struct {
    const char* name;
    int32_t version;
    TnxClientFeatures features;
    size_t len;
    TnxBlobNr start;
    Ids sent;
  } cases[] = {
      {"empty", 47005, nxAllClientFeatures, 0, 0, {0x39B}},
      {"three chunks", 47005, nxAllClientFeatures, 2 * kMiB + 3, kBlob, {0x39B, 0xA96, 0xA96}},
      {"47004: create and write", 47004, nxAllClientFeatures, 10, 0, {0x891, 0x896}},
      {"47004: truncate and write", 47004, nxAllClientFeatures, 10, kBlob, {0x897, 0x896}},
      {"no reduction", 47005, kNoReduction, 10, kBlob, {0xA97, 0xA96}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    nxSetClientFeatures(c.features);
    Blob(kBlob, Pattern(100, 9));
    TnxRemoteCursor* cursor = ConnectAndOpen(c.version);
    ASSERT_NE(cursor, nullptr);
    const std::vector<uint8_t> data = Pattern(c.len);
    TnxBlobNr nr = c.start;
    const size_t before = SentCount(session);
    ASSERT_EQ(cursor->BlobReplace(kRecID, kMemo, nr, static_cast<uint32_t>(c.len), data.data()), 0u);
    EXPECT_EQ(CursorSent(before), c.sent);
    EXPECT_NE(nr, 0);
    EXPECT_TRUE(ServerBlob(nr) == data);
    if (c.sent.front() == 0x39B) {
      // Field, number, the first chunk's length, the record's ID.
      TnxMemoryStream payload(-1);
      const TaggedBytes sent = LastPayload(0x39B);
      payload.WriteBuffer(sent.data(), static_cast<int64_t>(sent.size()));
      payload.SetPosition(0);
      TnxReader reader(payload);
      EXPECT_EQ(static_cast<uint32_t>(reader.ReadInteger()), cursor->CursorID());
      EXPECT_EQ(reader.ReadInteger(), kMemo);
      EXPECT_EQ(reader.ReadInt64(), c.start);
      EXPECT_EQ(reader.ReadInt64(), int64_t(std::min<size_t>(c.len, kMiB)));
      EXPECT_EQ(reader.ReadInt64(), kRecID.ridRefNr);
      EXPECT_EQ(reader.ReadInt64(), kRecID.ridInsertLSN);
    }
  }
}

TEST_F(RemoteCursorBlobsTest, CreateTruncateDeleteAndFreeAreOneRequestEach) {
  TnxRemoteCursor* cursor = ConnectAndOpen(47501);
  ASSERT_NE(cursor, nullptr);
  size_t before = SentCount(session);
  TnxBlobNr created = 0, fromFile = 0;
  ASSERT_EQ(cursor->BlobCreate(kNoRecID, kMemo, created), 0u);
  ASSERT_EQ(cursor->BlobCreateFile(kRecID, kMemo, u"/tmp/x.bin", fromFile), 0u);
  EXPECT_NE(created, 0);
  EXPECT_NE(fromFile, created);
  const std::vector<uint8_t> data = Pattern(30);
  ASSERT_EQ(cursor->BlobWrite(kNoRecID, kMemo, created, 0, 30, data.data()), 0u);
  ASSERT_EQ(cursor->BlobTruncate(kRecID, kMemo, created, 12), 0u);
  uint32_t length = 0;
  ASSERT_EQ(cursor->BlobGetLength(kNoRecID, kMemo, created, length, false, nullptr), 0u);
  EXPECT_EQ(length, 12u);
  ASSERT_EQ(cursor->BlobDelete(kNoRecID, kMemo, created), 0u);
  ASSERT_EQ(cursor->BlobFree(kRecID, kMemo, fromFile), 0u);
  EXPECT_EQ(CursorSent(before), (Ids{0x891, 0xA92, 0x896, 0xA97, 0x89A, 0x893, 0xA94}));
  EXPECT_EQ(cursor->BlobDelete(kNoRecID, kMemo, created), nxeInvalidBlobHandle);
}

TEST_F(RemoteCursorBlobsTest, BlobsCancelNeedsBlobFieldsAndAServerThatCancels) {
  TnxRemoteCursor* cursor = ConnectAndOpen(47005);
  ASSERT_NE(cursor, nullptr);
  size_t before = SentCount(session);
  ASSERT_EQ(cursor->BlobsCancel(77), 0u);
  EXPECT_EQ(CursorSent(before), Ids{0x39C});
  std::vector<int64_t> cancelled;
  handler->Configure([&](TTestCommandHandler& h) { cancelled = h.CancelledBlobRecords; });
  EXPECT_EQ(cancelled, std::vector<int64_t>{77});
  handler->Script(0x39C, Fixed(nxeBlobError));
  EXPECT_EQ(cursor->BlobsCancel(77), nxeBlobError);

  cursor = ConnectAndOpen(47004);
  ASSERT_NE(cursor, nullptr);
  before = SentCount(session);
  EXPECT_EQ(cursor->BlobsCancel(77), nxeCapabilityNotSupported);
  EXPECT_EQ(SentCount(session), before);

  // A table without blobs has none to cancel.
  auto plain = std::make_shared<TnxDataDictionary>();
  plain->FieldsDescriptor().AddField(u"ID", u"", nxtInt32, 0, 0, false);
  TnxMemoryStream dictionary(-1);
  plain->WriteToStream(dictionary, nxRemoteClientVersion);
  const auto* bytes = static_cast<const uint8_t*>(dictionary.Memory());
  handler->Configure([&](TTestCommandHandler& h) {
    h.CursorTables[u"Plain"] = {TaggedBytes(bytes, bytes + dictionary.GetSize()), plain->Guid(), plain->CurrentID(),
                                -1, -1};
  });
  Connect(47005);
  TnxAbstractCursor* opened = nullptr;
  ASSERT_EQ(database->CursorOpen(opened, u"Plain", u"", omReadWrite, smShared, 3000, u"", -1, false, 0, 500, nullptr),
            0u);
  before = SentCount(session);
  EXPECT_EQ(opened->BlobsCancel(77), 0u);
  EXPECT_EQ(SentCount(session), before);
}

TEST_F(RemoteCursorBlobsTest, ABlobBatchSendsItsEntriesAndTakesOnlyTheNumbersItAskedFor) {
  TnxRemoteCursor* cursor = ConnectAndOpen(47501);
  ASSERT_NE(cursor, nullptr);
  TnxBlobBatchRequest request;
  std::vector<uint8_t> reply{9, 9, 9};
  size_t before = SentCount(session);
  ASSERT_EQ(cursor->BlobBatchProcess(request, reply), 0u);
  EXPECT_EQ(reply, (std::vector<uint8_t>{0, 0}));
  EXPECT_EQ(SentCount(session), before);

  request.bbrqRecID = kRecID;
  request.bbrqEntries.resize(2);
  request.bbrqEntries[0].bbrqeData = Pattern(10);
  request.bbrqEntries[0].bbrqeFieldNo = kMemo;
  request.bbrqEntries[1].bbrqeData = Pattern(20, 3);
  request.bbrqEntries[1].bbrqeFieldNo = kMemo;
  ASSERT_EQ(cursor->BlobBatchProcess(request, reply), 0u);
  EXPECT_EQ(CursorSent(before), Ids{0x39D});
  ASSERT_EQ(reply.size(), 18u);
  EXPECT_EQ(platform::LoadU16(reply.data()), 2u);
  EXPECT_TRUE(ServerBlob(platform::LoadLE<int64_t>(reply.data() + 2)) == Pattern(10));
  EXPECT_TRUE(ServerBlob(platform::LoadLE<int64_t>(reply.data() + 10)) == Pattern(20, 3));

  const struct {
    const char* name;
    std::vector<uint8_t> reply;
  } bad[] = {
      {"more entries than sent", {3, 0, 1, 0, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 3, 0, 0, 0, 0, 0, 0, 0}},
      {"fewer bytes than counted", {2, 0, 1, 0, 0, 0, 0, 0, 0, 0}},
      {"no count", {2}},
  };
  for (const auto& b : bad) {
    SCOPED_TRACE(b.name);
    handler->Script(0x39D, Fixed(0, b.reply));
    EXPECT_EQ(cursor->BlobBatchProcess(request, reply), nxeMessageUnrecognized);
    EXPECT_EQ(reply, (std::vector<uint8_t>{0, 0}));
  }
}

TEST_F(RemoteCursorBlobsTest, WithoutACacheThereIsNothingToCacheAndNoModifiedCheck) {
  TnxRemoteCursor* cursor = ConnectAndOpen(47501);
  ASSERT_NE(cursor, nullptr);
  EXPECT_EQ(cursor->rcCacheBlob(kRecID, kMemo, kBlob, nullptr), nxeOperationNotApplicable);
  bool modified = false;
  EXPECT_EQ(cursor->BlobModified(kRecID, kMemo, kBlob, modified), nxeCapabilityNotSupported);
}

}  // namespace
}  // namespace revurov::testing
