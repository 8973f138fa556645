#include "lowlevel/cipher/base_cipher.h"

#include <gtest/gtest.h>

#include <cstring>

#include "lowlevel/cipher/blowfish_rc4.h"
#include "lowlevel/errors/error_codes.h"

namespace revurov {
namespace {

// Cipher classes that only answer the registries' questions.
class FakeClass : public TnxBaseCipherClass {
public:
  FakeClass(std::u16string_view aName, std::string_view aWrapName, uint32_t aWrapPriority,
            uint32_t aAltPriority)
      : TnxBaseCipherClass(aName, &TnxBaseCipher::ClassInfo()),
        fWrapName(aWrapName), fWrapPriority(aWrapPriority), fAltPriority(aAltPriority) {}
  std::string_view KeyWrapName() const noexcept override { return fWrapName; }
  uint32_t KeyWrapPriority() const noexcept override { return fWrapPriority; }
  uint32_t AltPriority() const noexcept override { return fAltPriority; }

private:
  std::string_view fWrapName;
  uint32_t fWrapPriority;
  uint32_t fAltPriority;
};

class CipherRegistries : public ::testing::Test {
protected:
  void SetUp() override { nxBaseCipherStartup(); }
  void TearDown() override { nxBaseCipherShutdown(); }
};

template <class F>
uint32_t CodeOf(F&& aCall) {
  try {
    aCall();
  } catch (const EnxBaseCipherException& e) {
    return e.ErrorCode();
  }
  ADD_FAILURE() << "no exception";
  return 0;
}

TEST_F(CipherRegistries, KeyWrapClassIsFoundUnderAnyCase) {
  nxRegisterKeyWrapClass(TnxBlowFishRC4::ClassInfo());
  for (const char* name : {"BlowfishRC4", "blowfishrc4", "BLOWFISHRC4", "bLoWfIsHrC4"})
    EXPECT_EQ(TnxBaseCipher::FindKeyWrapClass(name), &TnxBlowFishRC4::ClassInfo()) << name;
  EXPECT_EQ(TnxBaseCipher::FindKeyWrapClass("Blowfish"), nullptr);
  nxUnregisterKeyWrapClass(TnxBlowFishRC4::ClassInfo());
  EXPECT_EQ(TnxBaseCipher::FindKeyWrapClass("BlowfishRC4"), nullptr);
}

TEST_F(CipherRegistries, MustFindNamesTheMissingAlgorithm) {
  try {
    TnxBaseCipher::MustFindKeyWrapClass("AES");
    FAIL();
  } catch (const EnxBaseCipherException& e) {
    EXPECT_NE(e.Message().find(u"Unable to find key wrap class with algorithm name \"AES\""),
              std::u16string::npos);
    EXPECT_EQ(e.ErrorCode(), 0u);
  }
}

TEST_F(CipherRegistries, HighestPriorityWinsUnderOneName) {
  FakeClass low(u"Low", "Wrap", 2, 0), high(u"High", "wrap", 7, 0);
  nxRegisterKeyWrapClass(high);
  nxRegisterKeyWrapClass(low);
  EXPECT_EQ(TnxBaseCipher::FindKeyWrapClass("WRAP"), &high);
  nxUnregisterKeyWrapClass(high);
  EXPECT_EQ(TnxBaseCipher::FindKeyWrapClass("WRAP"), &low);
  nxUnregisterKeyWrapClass(low);
}

TEST_F(CipherRegistries, SameNameAndPriorityTwiceIsRefused) {
  FakeClass a(u"A", "Wrap", 3, 0), b(u"B", "Wrap", 3, 0);
  nxRegisterKeyWrapClass(a);
  EXPECT_THROW(nxRegisterKeyWrapClass(b), platform::Exception);
  EXPECT_EQ(TnxBaseCipher::FindKeyWrapClass("Wrap"), &a);
  nxUnregisterKeyWrapClass(a);
}

TEST_F(CipherRegistries, ClassWithoutNameIsNotRegistered) {
  FakeClass nameless(u"Nameless", "", 5, 0);
  nxRegisterKeyWrapClass(nameless);
  platform::TStringList names;
  TnxBaseCipher::GetRegisteredKeyWrapClasses(names);
  EXPECT_EQ(names.Count(), 0);
}

TEST_F(CipherRegistries, PreferredNeedsAPriorityAboveZero) {
  FakeClass zero(u"Zero", "Zero", 0, 0), other(u"Other", "Other", 0, 0);
  nxRegisterKeyWrapClass(zero);
  nxRegisterKeyWrapClass(other);
  EXPECT_EQ(TnxBaseCipher::PreferredKeyWrapClass(), nullptr);
  nxRegisterKeyWrapClass(TnxBlowFishRC4::ClassInfo());
  EXPECT_EQ(TnxBaseCipher::PreferredKeyWrapClass(), &TnxBlowFishRC4::ClassInfo());
  FakeClass better(u"Better", "Aaa", 4, 0);
  nxRegisterKeyWrapClass(better);
  EXPECT_EQ(TnxBaseCipher::PreferredKeyWrapClass(), &better);

  platform::TStringList names;
  names.Add(u"stale");
  TnxBaseCipher::GetRegisteredKeyWrapClasses(names);
  ASSERT_EQ(names.Count(), 4);
  EXPECT_EQ(names[0], u"Aaa");
  EXPECT_EQ(nxKeyWrapListPriority(names, 0), 4u);
  EXPECT_EQ(names[1], u"BlowfishRC4");
  EXPECT_EQ(nxKeyWrapListPriority(names, 1), 1u);
  for (const FakeClass* c : {&zero, &other, &better}) nxUnregisterKeyWrapClass(*c);
  nxUnregisterKeyWrapClass(TnxBlowFishRC4::ClassInfo());
}

TEST_F(CipherRegistries, NoAlternativeClassRaises12289) {
  std::string data(256, 'x');
  EXPECT_EQ(CodeOf([] { TnxBaseCipher::AltLock(); }), nxeCapabilityNotSupported);
  EXPECT_EQ(CodeOf([&] { TnxBaseCipher::EncodeAlt(data.data(), 256); }), 12289u);
  EXPECT_EQ(CodeOf([&] { TnxBaseCipher::DecodeAlt(data.data(), 256); }), 12289u);
  EXPECT_EQ(data, std::string(256, 'x'));
}

TEST_F(CipherRegistries, AlternativeClassOfHigherPriorityTakesOver) {
  FakeClass first(u"First", "", 0, 1), second(u"Second", "", 0, 1), better(u"Better", "", 0, 5);
  TnxBaseCipher::AltRegister(first);
  TnxBaseCipher::AltRegister(second);
  EXPECT_EQ(TnxBaseCipher::AltCurrentClass(), &first);  // equal priority: no change
  TnxBaseCipher::AltRegister(better);
  EXPECT_EQ(TnxBaseCipher::AltCurrentClass(), &better);
  TnxBaseCipher::AltUnregister(better);
  EXPECT_EQ(TnxBaseCipher::AltCurrentClass(), &first);  // the first wins a tie
  TnxBaseCipher::AltUnregister(first);
  TnxBaseCipher::AltUnregister(second);
  EXPECT_EQ(TnxBaseCipher::AltCurrentClass(), nullptr);
}

TEST_F(CipherRegistries, LockedCurrentClassStaysAndCannotBeUnregistered) {
  FakeClass current(u"Current", "", 0, 1), better(u"Better", "", 0, 9);
  TnxBaseCipher::AltRegister(current);
  TnxBaseCipher::AltLock();
  TnxBaseCipher::AltRegister(better);
  EXPECT_EQ(TnxBaseCipher::AltCurrentClass(), &current);
  EXPECT_EQ(CodeOf([&] { TnxBaseCipher::AltUnregister(current); }), nxeRecordLocked);
  TnxBaseCipher::AltUnregister(better);  // not current: allowed while locked
  TnxBaseCipher::AltUnLock();
  TnxBaseCipher::AltUnLock();  // one too many leaves the count at zero
  TnxBaseCipher::AltUnregister(current);
  EXPECT_EQ(TnxBaseCipher::AltCurrentClass(), nullptr);
}

TEST_F(CipherRegistries, ClassRecordsKnowTheirAncestry) {
  const auto& bf = TnxBlowFishRC4::ClassInfo();
  EXPECT_EQ(bf.ClassName(), u"TnxBlowFishRC4");
  EXPECT_TRUE(bf.InheritsFrom(TnxBaseCipher::ClassInfo()));
  EXPECT_FALSE(TnxBaseCipher::ClassInfo().InheritsFrom(bf));
  EXPECT_EQ(bf.BlockLength(), 8u);
  EXPECT_EQ(bf.KeyWrapName(), "BlowfishRC4");
  EXPECT_EQ(bf.KeyWrapPriority(), 1u);
  EXPECT_EQ(bf.AltPriority(), 0u);
  EXPECT_TRUE(bf.SelfTest());
  auto cipher = bf.Create("k");
  EXPECT_EQ(cipher->ClassName(), u"TnxBlowFishRC4");
  EXPECT_EQ(cipher->TheCipher(), cipher.get());
}

TEST_F(CipherRegistries, BaseClassOperations) {
  const auto& base = TnxBaseCipher::ClassInfo();
  EXPECT_EQ(base.BlockLength(), 0u);
  EXPECT_EQ(base.DeriveKey("p", 1, "s", 1, "l"), nullptr);
  EXPECT_TRUE(base.KeyWrapName().empty());
  EXPECT_THROW(base.Create("k"), EnxBaseCipherException);
  uint8_t buf[8] = {};
  base.GenerateRandom(buf, 0);
  EXPECT_THROW(base.GenerateRandom(buf, 8), EnxBaseCipherException);
}

TEST_F(CipherRegistries, StorageFormCopiesThenEnciphers) {
  TnxBlowFishRC4 sender("storage"), receiver("storage");
  const std::string plain(64, 'p');
  std::string out(64, '\0');
  uint8_t iv[8], mac[8];
  std::vector<uint8_t> cookie{1, 2, 3};
  sender.EncodeStorage(iv, 7, cookie, plain.data(), out.data(), 64, mac);
  EXPECT_NE(out, plain);
  EXPECT_TRUE(receiver.DecodeStorage(iv, 7, cookie, out.data(), 64, mac));
  EXPECT_TRUE(cookie.empty());
  EXPECT_EQ(out, plain);
}

}  // namespace
}  // namespace revurov
