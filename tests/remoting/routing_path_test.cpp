// Routing paths on the tagged stream, through the writer and reader
// interfaces: golden bytes built by hand, the reading side's refusals of
// what a peer may send, and a bounded run of damaged streams.
#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <string>
#include <vector>

#include "lowlevel/streams/memory_stream.h"
#include "lowlevel/streams/tagged_stream.h"
#include "platform/rtl_exception.h"
#include "platform/text.h"
#include "remoting_test_support.h"
#include "support/exception_message.h"
#include "support/tagged_bytes.h"
#include "transport/remoting/interfaced_filer.h"
#include "transport/remoting/remoting_types.h"

namespace revurov {
namespace {

using platform::TGUID;
using testing::AppendGuid;
using testing::TaggedBytes;

class RoutingPath : public testing::RemotingStarted {};

TaggedBytes WrittenPath(const TnxRoutingPath& aPath) {
  return testing::Written([&](TnxWriter& w) {
    TnxInterfacedWriter writer(w);
    nxWriteRoutingPath(writer, aPath);
  });
}

// Reads a path and checks that every byte was taken.
TnxRoutingPath ReadPath(const TaggedBytes& aBytes) {
  return testing::ReadAll(aBytes, [](TnxReader& r) {
    TnxInterfacedReader reader(r);
    TnxRoutingPath path{{testing::Id(99), testing::Id(98)}};
    nxReadRoutingPath(reader, path);
    return path;
  });
}

std::u16string ReadError(const TaggedBytes& aBytes, TnxRoutingPath* aPath = nullptr) {
  return testing::MessageOf<platform::EReadError>([&] {
    TnxStaticMemoryStream s(const_cast<uint8_t*>(aBytes.data()), static_cast<int64_t>(aBytes.size()));
    TnxReader r(s);
    TnxInterfacedReader reader(r);
    TnxRoutingPath path;
    try {
      nxReadRoutingPath(reader, path);
    } catch (...) {
      if (aPath) *aPath = path;
      throw;
    }
  });
}

const TGUID kServer = platform::nxGuid("{01020304-0506-0708-090A-0B0C0D0E0F10}");
const TGUID kFirst = platform::nxGuid("{A1A2A3A4-B1B2-C1C2-D1D2-D3D4D5D6D7D8}");
const TGUID kOther = platform::nxGuid("{F0E0D0C0-B0A0-9080-7060-504030201000}");
const TGUID kSecond = platform::nxGuid("{11111111-2222-3333-4444-555555555555}");

TEST_F(RoutingPath, EmptyPathIsTheSingleNilTagAndReadsBackEmpty) {
  EXPECT_EQ(WrittenPath({}), (TaggedBytes{0x0D}));
  EXPECT_TRUE(ReadPath({0x0D}).empty());
}

TEST_F(RoutingPath, TwoEntriesAreListCountFourGuidsAndEndInOrder) {
  TaggedBytes expected{0x01, 0x02, 0x02};  // list begin, vaInt8 2
  // D1, D2, D3 little-endian, then D4 as it stands.
  const uint8_t server[16] = {0x04, 0x03, 0x02, 0x01, 0x06, 0x05, 0x08, 0x07,
                              0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F, 0x10};
  expected.insert(expected.end(), {0x0A, 0x10, 0x00, 0x00, 0x00});
  expected.insert(expected.end(), server, server + 16);
  AppendGuid(expected, kFirst);
  AppendGuid(expected, kOther);
  AppendGuid(expected, kSecond);
  expected.push_back(0x00);  // list end
  const TnxRoutingPath path{{kServer, kFirst}, {kOther, kSecond}};

  EXPECT_EQ(WrittenPath(path), expected);
  EXPECT_EQ(ReadPath(expected), path);
}

TEST_F(RoutingPath, ListWithCountZeroReadsBackEmpty) {
  EXPECT_TRUE(ReadPath({0x01, 0x02, 0x00, 0x00}).empty());
}

TEST_F(RoutingPath, CountIsTakenInEveryIntegerWidth) {
  for (const TaggedBytes& head : {TaggedBytes{0x01, 0x03, 0x01, 0x00}, TaggedBytes{0x01, 0x04, 0x01, 0x00, 0x00, 0x00}}) {
    TaggedBytes bytes = head;
    AppendGuid(bytes, kServer);
    AppendGuid(bytes, kFirst);
    bytes.push_back(0x00);
    EXPECT_EQ(ReadPath(bytes), (TnxRoutingPath{{kServer, kFirst}}));
  }
}

// The count comes from the peer: refused before the path is sized by it.
TEST_F(RoutingPath, RefusesCountsTheStreamCannotHold) {
  struct Case {
    const char* what;
    TaggedBytes bytes;
    const char16_t* part;
  };
  TaggedBytes oneEntryShort{0x01, 0x02, 0x02};
  AppendGuid(oneEntryShort, kServer);
  AppendGuid(oneEntryShort, kFirst);
  oneEntryShort.push_back(0x00);
  const Case cases[] = {
      {"negative", {0x01, 0x02, 0xFF, 0x00}, u"negative Anzahl -1"},
      {"most negative", {0x01, 0x04, 0x00, 0x00, 0x00, 0x80, 0x00}, u"negative Anzahl -2147483648"},
      {"largest", {0x01, 0x04, 0xFF, 0xFF, 0xFF, 0x7F, 0x00}, u"2147483647 Einträge übersteigen die verbleibenden 1 Bytes"},
      {"one more than present", oneEntryShort, u"2 Einträge übersteigen die verbleibenden 43 Bytes"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TnxRoutingPath path{{kServer, kFirst}};
    const std::u16string message = ReadError(c.bytes, &path);
    EXPECT_TRUE(testing::Contains(message, c.part)) << platform::Utf16ToUtf8(message);
    EXPECT_TRUE(path.empty());
  }
}

TEST_F(RoutingPath, BadValuesRaiseTheReadersErrorAndKeepWhatWasRead) {
  TaggedBytes secondDamaged{0x01, 0x02, 0x02};
  AppendGuid(secondDamaged, kServer);
  AppendGuid(secondDamaged, kFirst);
  AppendGuid(secondDamaged, kOther);
  AppendGuid(secondDamaged, kSecond);
  secondDamaged.push_back(0x00);
  secondDamaged[3 + 2 * 21 + 1] = 15;  // the second entry's first GUID claims 15 bytes
  TaggedBytes noListEnd{0x01, 0x02, 0x01};
  AppendGuid(noListEnd, kServer);
  AppendGuid(noListEnd, kFirst);
  noListEnd.push_back(0x02);
  struct Case {
    const char* what;
    TaggedBytes bytes;
    size_t entries;
  };
  const Case cases[] = {
      {"not a list", {0x02, 0x01}, 0},
      {"count is not an integer", {0x01, 0x09, 0x00}, 0},
      {"guid of the wrong length", {0x01, 0x02, 0x01, 0x0A, 0x0F, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                                    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                                    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                                    0x00, 0x00, 0x00, 0x00},
       0},
      {"second entry damaged", secondDamaged, 1},
      {"no list end", noListEnd, 1},
      {"nothing at all", {}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TnxRoutingPath path;
    EXPECT_NE(ReadError(c.bytes, &path), u"(no exception)");
    EXPECT_EQ(path.size(), c.entries);
  }
}

// Damaged path streams: whatever the bytes, a read either gives a path or
// raises the reader's error, and reads nothing outside them (the sanitizer
// build watches).
TEST_F(RoutingPath, DamagedStreamsNeverReadOutsideTheirBytes) {
  std::mt19937 rng(46);
  std::vector<TaggedBytes> valid{WrittenPath({}), WrittenPath({{kServer, kFirst}}),
                                 WrittenPath({{kServer, kFirst}, {kOther, kSecond}, {kFirst, kServer}})};
  for (int round = 0; round < 3000; ++round) {
    TaggedBytes bytes = valid[rng() % valid.size()];
    const int edits = 1 + static_cast<int>(rng() % 4);
    for (int e = 0; e < edits; ++e) {
      switch (rng() % 3) {
        case 0:
          if (!bytes.empty()) bytes[rng() % bytes.size()] = static_cast<uint8_t>(rng());
          break;
        case 1:
          bytes.resize(rng() % (bytes.size() + 1));
          break;
        default:
          bytes.insert(bytes.begin() + static_cast<long>(rng() % (bytes.size() + 1)), static_cast<uint8_t>(rng()));
      }
    }
    TnxStaticMemoryStream s(bytes.data(), static_cast<int64_t>(bytes.size()));
    TnxReader r(s);
    TnxInterfacedReader reader(r);
    TnxRoutingPath path;
    try {
      nxReadRoutingPath(reader, path);
      EXPECT_LE(static_cast<int64_t>(path.size()) * 42, static_cast<int64_t>(bytes.size()));
    } catch (const platform::EReadError&) {
    }
  }
}

// The interfaces write the tagged format's bytes: each case writes through
// InxWriter and through TnxWriter and compares.
TEST_F(RoutingPath, WriterInterfaceWritesTheTaggedBytes) {
  struct Case {
    const char* what;
    std::function<void(InxWriter&)> viaInterface;
    std::function<void(TnxWriter&)> direct;
  };
  const std::u16string text = u"Grüße \u20AC";
  const Case cases[] = {
      {"wide string as string", [&](InxWriter& w) { w.WriteWideString(text); }, [&](TnxWriter& w) { w.WriteString(text); }},
      {"ascii wide string", [](InxWriter& w) { w.WriteWideString(u"abc"); }, [](TnxWriter& w) { w.WriteString(u"abc"); }},
      {"wide char", [](InxWriter& w) { w.WriteWideChar(u'\u00E4'); }, [](TnxWriter& w) { w.WriteChar(u'\u00E4'); }},
      {"integers", [](InxWriter& w) { w.WriteInteger(int32_t{300}); w.WriteInteger(int64_t{1} << 40); },
       [](TnxWriter& w) { w.WriteInteger(int32_t{300}); w.WriteInteger(int64_t{1} << 40); }},
      {"values and lists", [](InxWriter& w) { w.WriteListBegin(); w.WriteBoolean(true); w.WriteValue(vaNil); w.WriteListEnd(); },
       [](TnxWriter& w) { w.WriteListBegin(); w.WriteBoolean(true); w.WriteValue(vaNil); w.WriteListEnd(); }},
      {"binary and guid", [](InxWriter& w) { w.WriteBinary("xyz", 3); w.WriteGuid(kServer); },
       [](TnxWriter& w) { w.WriteBinary("xyz", 3); w.WriteGuid(kServer); }},
      {"numbers", [](InxWriter& w) { w.WriteFloat(1.5L); w.WriteSingle(2.5f); w.WriteDouble(3.5); w.WriteCurrency(12345); w.WriteDate(45000.25); },
       [](TnxWriter& w) { w.WriteFloat(1.5L); w.WriteSingle(2.5f); w.WriteDouble(3.5); w.WriteCurrency(12345); w.WriteDate(45000.25); }},
      {"ident, ansi char, variant", [](InxWriter& w) { w.WriteIdent(u"Name"); w.WriteAnsiChar('x'); w.WriteVariant(platform::TnxVariant::FromInteger(7)); },
       [](TnxWriter& w) { w.WriteIdent(u"Name"); w.WriteAnsiChar('x'); w.WriteVariant(platform::TnxVariant::FromInteger(7)); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(testing::Written([&](TnxWriter& w) {
                TnxInterfacedWriter writer(w);
                c.viaInterface(writer);
              }),
              testing::Written(c.direct));
  }
}

TEST_F(RoutingPath, ReadWideStringAcceptsEveryStringTag) {
  struct Case {
    const char* what;
    TaggedBytes bytes;
  };
  const Case cases[] = {
      {"vaString", {vaString, 2, 'h', 'i'}},
      {"vaLString", {vaLString, 2, 0, 0, 0, 'h', 'i'}},
      {"vaWString", {vaWString, 2, 0, 0, 0, 'h', 0, 'i', 0}},
      {"vaUTF8String", {vaUTF8String, 2, 0, 0, 0, 'h', 'i'}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(testing::ReadAll(c.bytes, [](TnxReader& r) { return TnxInterfacedReader(r).ReadWideString(); }),
              u"hi");
  }
}

TEST_F(RoutingPath, ReaderInterfaceReadsWhatTheWriterInterfaceWrote) {
  const TaggedBytes bytes = testing::Written([](TnxWriter& tw) {
    TnxInterfacedWriter writer(tw);
    InxWriter* w = &writer;
    w->WriteListBegin();
    w->WriteInteger(int32_t{-5});
    w->WriteInteger(int64_t{1} << 40);
    w->WriteBoolean(false);
    w->WriteWideChar(u'\u00E4');
    w->WriteAnsiChar('q');
    w->WriteDouble(2.25);
    w->WriteIdent(u"Ident");
    w->WriteGuid(kFirst);
    w->WriteBinary("ab", 2);
    w->WriteListEnd();
  });
  testing::ReadAll(bytes, [](TnxReader& tr) {
    TnxInterfacedReader reader(tr);
    InxReader* r = &reader;
    EXPECT_EQ(r->NextValue(), vaList);
    r->ReadListBegin();
    EXPECT_EQ(r->ReadInteger(), -5);
    EXPECT_EQ(r->ReadInt64(), int64_t{1} << 40);
    EXPECT_FALSE(r->ReadBoolean());
    EXPECT_EQ(r->ReadWideChar(), u'\u00E4');
    EXPECT_EQ(r->ReadAnsiChar(), 'q');
    EXPECT_EQ(r->ReadDouble(), 2.25);
    EXPECT_EQ(r->ReadIdent(), u"Ident");
    EXPECT_EQ(r->ReadGuid(), kFirst);
    char two[2];
    r->ReadBinary(two, 2);
    EXPECT_EQ(std::string(two, 2), "ab");
    EXPECT_TRUE(r->EndOfList());
    r->ReadListEnd();
    EXPECT_EQ(r->BytesLeft(), 0);
    return 0;
  });
}

}  // namespace
}  // namespace revurov
