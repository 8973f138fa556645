#include "storage/file_header.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "lowlevel/errors/error_codes.h"
#include "platform/text.h"
#include "storage/encryption_engine.h"
#include "storage/startup.h"
#include "support/exception_message.h"
#include "support/temp_dir.h"
#include "support/test_size.h"

namespace revurov {
namespace {

using testing::TempDir;

constexpr TnxBlockSignature kNX2{'N', 'X', '!', '2'};
constexpr TnxBlockSignature kNX1{'N', 'X', '!', '1'};
constexpr std::u16string_view kBlowfish = u"nx1xDefault";

using TBytes = std::vector<uint8_t>;

// Little-endian field writers for hand-built blocks.
void Put16(TBytes& b, size_t at, uint16_t v) {
  b[at] = static_cast<uint8_t>(v);
  b[at + 1] = static_cast<uint8_t>(v >> 8);
}
void Put32(TBytes& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
void PutText(TBytes& b, size_t at, const std::string& s) {
  std::memcpy(&b[at], s.data(), s.size());
}
void PutName(TBytes& b, size_t at, const std::string& s) {
  b[at] = static_cast<uint8_t>(s.size());
  PutText(b, at + 1, s);
}

// Block 0 of a new "NX!2" file as the layout table gives it.
TBytes Golden2x(uint32_t aBlockBytes, uint8_t aOrdinal, uint32_t aUsable, uint16_t aE, const std::string& aEngine,
                const std::string& aStream, uint32_t aVersion) {
  TBytes b(aBlockBytes, 0);
  PutText(b, 0, "NX!2");
  b[16] = aOrdinal;
  Put16(b, 17, aE);
  Put32(b, 20, aUsable);
  Put32(b, 24, 0xFFFFFFFF);
  Put32(b, 28, 0);
  Put32(b, 32, 1);
  Put32(b, 36, aVersion);
  PutName(b, 40, aEngine);
  PutName(b, 72, aStream);
  Put16(b, 256, static_cast<uint16_t>(aUsable - aE - 1));
  return b;
}

std::u16string TextOfVerify(const TnxBaseFileHeaderAccessFactory& aFactory, const TBytes& aBlock,
                            TnxBlockNumber aNumber, int32_t aID) {
  try {
    aFactory.VerifyID(aBlock.data(), aNumber, aID);
  } catch (const EnxFileHeaderAccessException& e) {
    return e.ErrorString();
  }
  return u"(no exception)";
}

class FileHeaderTest : public ::testing::Test {
protected:
  // A file named in the test folder, holding aBytes.
  std::unique_ptr<TnxBaseFile> FileWith(const TBytes& aBytes, const std::string& aName = "h.nx1") {
    dir_.Write(aName, std::string(aBytes.begin(), aBytes.end()));
    auto file = std::make_unique<TnxBaseFile>(platform::Utf8ToUtf16(dir_.Path(aName)));
    file->OpenFile(omReadWrite, smShared, false, false);
    return file;
  }

  TnxStorageStartupGuard storage_;
  TempDir dir_;
};

TEST_F(FileHeaderTest, NewPlainHeaderIsTheGoldenBlock) {
  TnxBaseFile file(u"/x/new.nx1");
  file.fiStreamEngineName = u"nxStreamEngine";
  file.fiZirezVersion = 47005;
  TBytes block(4096, 0xCC);
  auto factory = TnxBaseFileHeaderAccessFactory::CreateFactory(kNX2, block.data(), file);
  EXPECT_EQ(block, Golden2x(4096, 0, 4092, 0, "", "nxStreamEngine", 47005));
  EXPECT_EQ(file.fiBlockSizeBytes, 4092u);
  EXPECT_EQ(file.fiUsedBlocks, 1u);
  EXPECT_EQ(factory->GetEncryptionEngineHeader(block.data()), nullptr);
  EXPECT_EQ(factory->GetUsedBlocks(block.data()), 1u);
  EXPECT_EQ(&factory->ClassType(), &Tnx2xFileHeaderAccessFactory::ClassInfo());
}

TEST_F(FileHeaderTest, NewEncryptedHeaderIsTheGoldenBlockAndOpensWithItsPassword) {
  TnxBaseFile file(u"/x/new.nx1");
  file.fiBlockSize = nxbs8k;
  file.fiEncryptionEngineName = std::u16string(kBlowfish);
  file.fiZirezVersion = 47501;
  TBytes block(8192, 0);
  auto factory = TnxBaseFileHeaderAccessFactory::CreateFactory(kNX2, block.data(), file);
  // U = 8192 - 16 (engine trailer) - 4 (owner ID); E = 48 below U - 1.
  EXPECT_EQ(block, Golden2x(8192, 1, 8172, 48, "nx1xDefault", "", 47501));
  EXPECT_EQ(factory->GetEncryptionEngineHeader(block.data()), block.data() + 8172 - 48 - 1);

  ASSERT_EQ(TnxBaseEncryptionEngine::CreateEngine(file.fiEncryptionEngineName, {u"secret"},
                                                  factory->GetEncryptionEngineHeader(block.data()), true, false,
                                                  file.fiEncryptionEngine),
            0u);
  factory->PrepareChecksum(block.data(), true);
  file.fiEncryptionEngine->UpdateHeaderChecksum(block.data(), 8192);
  TBytes padded = block;
  padded.resize(8192 * 2);  // one more block, so that the file is whole

  auto opened = FileWith(padded);
  bool readOnly = true;
  EXPECT_EQ(opened->ReadHeader({u"secret"}, readOnly), 0u);
  EXPECT_FALSE(readOnly);
  EXPECT_EQ(opened->fiBlockSize, nxbs8k);
  EXPECT_EQ(opened->fiBlockSizeBytes, 8172u);
  EXPECT_EQ(opened->fiEncryptionEngineName, kBlowfish);
  ASSERT_TRUE(opened->fiEncryptionEngine);
  ASSERT_TRUE(opened->fiHeaderAccessFactory);

  auto wrong = FileWith(padded, "h2.nx1");
  EXPECT_EQ(wrong->ReadHeader({u"guess"}, readOnly), nxeInvalidPassword);
  EXPECT_FALSE(wrong->fiHeaderAccessFactory);
}

TEST_F(FileHeaderTest, OldFormatHeaderOpensButIsNeverCreated) {
  TBytes b(4096, 0);
  PutText(b, 0, "NX!1");
  Put32(b, 20, 4096);
  Put32(b, 24, 5);
  Put32(b, 28, 2);
  Put32(b, 32, 9);
  Put32(b, 36, 30000);
  PutName(b, 72, "Default");
  Put32(b, 4096 - 4, 77);  // no owner ID in this format: just body
  auto file = FileWith(b);
  bool readOnly = false;
  ASSERT_EQ(file->ReadHeader({}, readOnly), 0u);
  EXPECT_EQ(file->fiHeaderSignature, kNX1);
  EXPECT_EQ(file->fiBlockSizeBytes, 4096u);
  EXPECT_EQ(file->fiUsedBlocks, 9u);
  EXPECT_EQ(file->fiZirezVersion, 30000);
  EXPECT_EQ(file->fiStreamEngineName, u"Default");
  const auto& factory = *file->fiHeaderAccessFactory;
  EXPECT_EQ(factory.GetID(b.data()), 0);
  EXPECT_EQ(factory.GetEncryptionEngineHeader(b.data()), nullptr);
  EXPECT_EQ(factory.GetUsedBlocks(b.data()), 9u);

  TnxBaseFile fresh(u"/x/old.nx1");
  TBytes block(4096);
  try {
    TnxBaseFileHeaderAccessFactory::CreateFactory(kNX1, block.data(), fresh);
    ADD_FAILURE();
  } catch (const Enx1xFileHeaderAccessException& e) {
    EXPECT_EQ(e.ErrorCode(), nxeCapabilityNotSupported);
    EXPECT_EQ(e.ErrorString(), u"Can't create new files with v1 header");
  }
}

TEST_F(FileHeaderTest, ReservedSpaceByFormat) {
  EXPECT_EQ(TnxBaseFileHeaderAccessFactory::GetAdditionalReservedSpace("NX!1"), 0);
  EXPECT_EQ(TnxBaseFileHeaderAccessFactory::GetAdditionalReservedSpace("NX!2"), 4);
  try {
    TnxBaseFileHeaderAccessFactory::GetAdditionalReservedSpace("NX!3");
    ADD_FAILURE();
  } catch (const EnxFileHeaderAccessException& e) {
    EXPECT_EQ(e.ErrorCode(), nxeFileHeaderAccessNotSupported);
  }
}

TEST_F(FileHeaderTest, NewerVersionsAreRefused) {
  for (const uint32_t version : {47501u, 47502u}) {
    SCOPED_TRACE(version);
    auto file = FileWith(Golden2x(4096, 0, 4092, 0, "", "", version));
    bool readOnly = false;
    const uint32_t result = file->ReadHeader({}, readOnly);
    if (version == 47501) {
      EXPECT_EQ(result, 0u);
      continue;
    }
    EXPECT_EQ(result, nxeTableTooNew);
    EXPECT_FALSE(file->fiHeaderAccessFactory);
    uint32_t code = 0;
    std::u16string message;
    EnxBaseException::GetLastConvertedException(code, message);
    EXPECT_EQ(code, nxeTableTooNew);
    EXPECT_EQ(message, u"Table \"" + file->fiName +
                           u"\" was created with version 4.7502 of RevurOV, which is newer than this server's "
                           u"version (4.7501).");
  }
}

TEST_F(FileHeaderTest, DamagedBlockZeroIsRefusedNamingTheFile) {
  struct TCase {
    const char* name;
    void (*damage)(TBytes&);
    uint32_t code;
  };
  const TCase cases[] = {
      {"unknown signature", [](TBytes& b) { PutText(b, 0, "NX!9"); }, nxeCannotOpenFile},
      {"zero signature", [](TBytes& b) { PutText(b, 0, std::string(4, '\0')); }, nxeCannotOpenFile},
      {"block size ordinal 5", [](TBytes& b) { b[16] = 5; }, nxeCorruptFile},
      {"usable size of the old format", [](TBytes& b) { Put32(b, 20, 4096); }, nxeCorruptFile},
      {"usable size past the block", [](TBytes& b) { Put32(b, 20, 0xFFFFFFF0); }, nxeCorruptFile},
      {"encryption area without engine", [](TBytes& b) { Put16(b, 17, 48); }, nxeCorruptFile},
      {"section top on the directory", [](TBytes& b) { Put16(b, 256, 258); }, nxeCorruptFile},
      {"section top past the block", [](TBytes& b) { Put16(b, 256, 4092); }, nxeCorruptFile},
      {"engine name of 32", [](TBytes& b) { b[40] = 32; }, nxeCorruptFile},
      {"stream name of 255", [](TBytes& b) { b[72] = 255; }, nxeCorruptFile},
      {"no used blocks", [](TBytes& b) { Put32(b, 32, 0); }, nxeCorruptFile},
      {"21 cached free blocks", [](TBytes& b) { Put32(b, 28, 21); }, nxeCorruptFile},
      {"encryption area smaller than the engine's",
       [](TBytes& b) {
         PutName(b, 40, "nx1xDefault");
         Put32(b, 20, 4096 - 16 - 4);
         Put16(b, 17, 8);
       },
       nxeCorruptFile},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.name);
    TBytes b = Golden2x(4096, 0, 4092, 0, "", "", 47005);
    c.damage(b);
    auto file = FileWith(b);
    bool readOnly = false;
    try {
      file->ReadHeader({}, readOnly);
      ADD_FAILURE() << "opened";
    } catch (const EnxFileHeaderAccessException& e) {
      EXPECT_EQ(e.ErrorCode(), c.code);
      EXPECT_TRUE(testing::Contains(e.ErrorString(), file->fiName));
    }
    EXPECT_FALSE(file->fiHeaderAccessFactory);
  }
}

TEST_F(FileHeaderTest, BlocksAreCheckedByNumberSignatureAndOwner) {
  auto file = FileWith(Golden2x(4096, 0, 4092, 0, "", "", 47005));
  bool readOnly = false;
  ASSERT_EQ(file->ReadHeader({}, readOnly), 0u);
  file->fiMaxID = 40;
  const auto& factory = *file->fiHeaderAccessFactory;
  auto block = [](const std::string& sig, uint32_t own, int32_t owner) {
    TBytes b(4096, 0);
    PutText(b, 0, sig);
    Put32(b, 4, own);
    Put32(b, 4092, static_cast<uint32_t>(owner));
    return b;
  };
  struct TCase {
    const char* name;
    TBytes b;
    TnxBlockNumber number;
    std::u16string error;  // empty: valid
  };
  const std::u16string f = file->fiName;
  const TCase cases[] = {
      {"record block", block("NXDH", 7, 12), 7, u""},
      {"owner 0", block("DEAD", 7, 0), 7, u""},
      {"highest owner", block("NXIH", 7, 40), 7, u""},
      {"header", block("NX!2", 0, 0), 0, u""},
      {"free block map", block("FBMH", 9, 0x7FFFFFFF), 9, u""},
      {"overflow", block("CHOF", 9, 0x7FFFFFFE), 9, u""},
      {"other number", block("NXDH", 8, 12), 7, u"Block 7 is identified as block 8 in the block header in file \"" + f + u"\""},
      {"header signature", block("NX!1", 0, 0), 0, u"Block 0 has not the correct signature"},
      {"map signature", block("NXDH", 9, 0x7FFFFFFF), 9,
       u"Block 9 in file \"" + f + u"\" has the BlockOwnerID of the free block map but has a signature of \"NXDH\""},
      {"overflow signature", block("FBMH", 9, 0x7FFFFFFE), 9,
       u"Block 9 in file \"" + f +
           u"\" has the BlockOwnerID of a child header overflow block but has a signature of \"FBMH\""},
      {"owner above the dictionary", block("NXDH", 5, 41), 5,
       u"Expected BlockOwnerID smaller or equal to 40 but found 41 in file \"" + f +
           u"\" for block 5. The header signature is \"NXDH\""},
      {"negative owner", block("NXDH", 5, -1), 5,
       u"Expected BlockOwnerID smaller or equal to 40 but found -1 in file \"" + f +
           u"\" for block 5. The header signature is \"NXDH\""},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.name);
    try {
      factory.ValidateBlock(c.b.data(), c.number);
      EXPECT_EQ(c.error, u"");
    } catch (const EnxFileHeaderAccessException& e) {
      EXPECT_EQ(e.ErrorCode(), nxeCorruptFile);
      EXPECT_EQ(e.ErrorString(), c.error);
    }
  }

  EXPECT_EQ(factory.GetID(block("NXDH", 7, 12).data()), 12);
  EXPECT_NO_THROW(factory.VerifyID(block("NXDH", 7, 12).data(), 7, 12));
  EXPECT_NO_THROW(factory.VerifyID(block("NXDH", 7, 3).data(), 7, 0));
  EXPECT_NO_THROW(factory.VerifyID(block("NXDH", 0, 0).data(), 7, 0));  // a block never written
  EXPECT_EQ(TextOfVerify(factory, block("NXDH", 0, 0), 7, 12),
            u"Block 7 is identified as block 0 in the block header in file \"" + f + u"\"");
  EXPECT_EQ(TextOfVerify(factory, block("NXDH", 7, 3), 7, 12),
            u"Expected BlockOwnerID 12 but found 3 in file \"" + f + u"\" for block 7");
}

// A queued block over a hand-built image.
class TImageBlock final : public TnxQueuedBlock {
public:
  TImageBlock(TnxBlockNumber aNumber, TBytes aImage) : number_(aNumber), image_(std::move(aImage)) {}
  TnxBlockNumber BlockNumber() const noexcept override { return number_; }
  TnxLSN LastLSN() const noexcept override { return 0; }
  uint8_t* PinImage() override { return image_.data(); }
  void Unpin() noexcept override {}
  std::vector<uint8_t>& EncryptionCookie() noexcept override { return cookie_; }
  void SetUnwritten(bool aUnwritten) noexcept override { unwritten = aUnwritten; }
  void RollbackUnwritten() override {}
  bool unwritten = false;

private:
  TnxBlockNumber number_;
  TBytes image_;
  std::vector<uint8_t> cookie_;
};

TBytes DataBlock(uint32_t aOwn, int32_t aOwner) {
  TBytes b(4096, 0);
  PutText(b, 0, "NXDH");
  Put32(b, 4, aOwn);
  Put32(b, 4092, static_cast<uint32_t>(aOwner));
  return b;
}

TEST_F(FileHeaderTest, IterationPassesInvalidBlocksAsNilAndFlushRefusesThem) {
  TBytes bytes = Golden2x(4096, 0, 4092, 0, "", "", 47005);
  for (const TBytes& b : {DataBlock(1, 3), DataBlock(5, 3), DataBlock(3, 0x7FFFFFFF), DataBlock(4, 2)})
    bytes.insert(bytes.end(), b.begin(), b.end());
  auto file = FileWith(bytes);
  bool readOnly = false;
  ASSERT_EQ(file->ReadHeader({}, readOnly), 0u);
  std::vector<bool> present;
  file->IterateBlocks(nullptr, [&](void*, TnxBlockNumber, PnxBlock block) {
    present.push_back(block != nullptr);
    return birContinue;
  });
  EXPECT_EQ(present, (std::vector<bool>{true, true, false, false, true}));

  TImageBlock good(4, DataBlock(4, 2)), bad(1, DataBlock(2, 2));
  file->WriteBlock(good);
  file->WriteBlock(bad);
  file->PrepareFlushFile();
  try {
    file->FlushFile(false);
    ADD_FAILURE();
  } catch (const EnxFileHeaderAccessException& e) {
    EXPECT_EQ(e.ErrorCode(), nxeCorruptFile);
  }
  EXPECT_EQ(file->QueuedBlocks(), 2u);
  EXPECT_TRUE(bad.unwritten);
}

// Random damage to block 0 of every kind of file: opening either works or
// fails with one of the codes of a bad header, and never reads astray
// (run under ASan).
TEST_F(FileHeaderTest, MutatedHeadersGiveOnlyHeaderCodes) {
  std::vector<TBytes> seeds = {Golden2x(4096, 0, 4092, 0, "", "nxStream", 47005)};
  {
    TBytes old(4096, 0);
    PutText(old, 0, "NX!1");
    Put32(old, 20, 4096);
    Put32(old, 24, 0xFFFFFFFF);
    Put32(old, 32, 1);
    Put32(old, 36, 30000);
    seeds.push_back(old);
    TnxBaseFile file(u"/x/e.nx1");
    file.fiEncryptionEngineName = std::u16string(kBlowfish);
    file.fiZirezVersion = 47005;
    TBytes enc(4096);
    auto factory = TnxBaseFileHeaderAccessFactory::CreateFactory(kNX2, enc.data(), file);
    ASSERT_EQ(TnxBaseEncryptionEngine::CreateEngine(kBlowfish, {}, factory->GetEncryptionEngineHeader(enc.data()),
                                                    true, false, file.fiEncryptionEngine),
              0u);
    file.fiEncryptionEngine->UpdateHeaderChecksum(enc.data(), 4096);
    seeds.push_back(enc);
  }
  const std::set<uint32_t> allowed = {nxeCannotOpenFile, nxeCorruptFile, nxeTableTooNew, nxeSubEngineNotSupported,
                                      nxeInvalidPassword};
  std::mt19937 random(62);
  const int rounds = testing::TestSize(300, 5000);
  std::set<uint32_t> seen;
  for (int round = 0; round < rounds; ++round) {
    TBytes b = seeds[round % seeds.size()];
    const int flips = 1 + static_cast<int>(random() % 4);
    for (int i = 0; i < flips; ++i) {
      // Mostly the fields at the front, sometimes anywhere.
      const size_t at = random() % 4 == 0 ? random() % b.size() : random() % 260;
      b[at] = static_cast<uint8_t>(random());
    }
    b.resize(4096 * 3);  // room for a block size the damage may claim
    auto file = FileWith(b);
    bool readOnly = false;
    uint32_t code = 0;
    try {
      code = file->ReadHeader({}, readOnly);
    } catch (const EnxBaseException& e) {
      code = e.ErrorCode();
    }
    if (code != 0) {
      EXPECT_TRUE(allowed.count(code)) << "code " << code << " in round " << round;
      EXPECT_FALSE(file->fiHeaderAccessFactory);
    }
    seen.insert(code);
  }
  EXPECT_TRUE(seen.count(0));
  EXPECT_TRUE(seen.count(nxeCorruptFile));
}

}  // namespace
}  // namespace revurov
