// Error information in the remoting stream: golden bytes, there and back,
// and what is not set on arrival.
#include <gtest/gtest.h>

#include <string>

#include "lowlevel/objects/interfaced_object.h"
#include "marshalling_test_support.h"
#include "platform/error_info.h"
#include "remoting_test_support.h"
#include "transport/remoting/value_marshalling.h"

namespace revurov {
namespace {

using namespace platform;
using testing::TaggedBytes;

constexpr TGUID kSomeInterface = nxGuid("{01020304-0506-0708-090A-0B0C0D0E0F10}");

// Answers a failure for everything but its description.
class HalfBrokenInfo final : public TnxInterfacedObject, public IErrorInfo {
public:
  HRESULT GetGUID(TGUID&) noexcept override { return E_NOTIMPL; }
  HRESULT GetSource(std::u16string&) noexcept override { return E_NOTIMPL; }
  HRESULT GetDescription(std::u16string& aText) noexcept override {
    aText = u"kaputt";
    return S_OK;
  }
  HRESULT GetHelpFile(std::u16string&) noexcept override { return E_NOTIMPL; }
  HRESULT GetHelpContext(uint32_t&) noexcept override { return E_NOTIMPL; }

protected:
  bool GetInterface(const TGUID& iid, void** obj) noexcept override {
    return nxOfferInterface<IErrorInfo>(this, iid, obj) || TnxInterfacedObject::GetInterface(iid, obj);
  }
};

TaggedBytes WriteOf(IErrorInfo* aInfo) {
  HRESULT hr = E_UNEXPECTED;
  TaggedBytes b = testing::WrittenBy([&](InxWriter& w) { return nxWriteErrorInfo(w, aInfo); }, hr);
  EXPECT_EQ(hr, S_OK);
  return b;
}

TInterfacePtr<IErrorInfo> ReadOf(const TaggedBytes& aBytes) {
  TInterfacePtr<IErrorInfo> info;
  int64_t left = -1;
  EXPECT_EQ(testing::ReadBy(aBytes, [&](InxReader& r) { return nxReadErrorInfo(r, info); }, nullptr, &left), S_OK);
  EXPECT_EQ(left, 0);
  return info;
}

TEST(ErrorInfoMarshalling, WritesTheGoldenBytes) {
  auto created = nxCreateErrorInfo();
  created->SetGUID(kSomeInterface);
  created->SetDescription(u"Fehler");
  created->SetHelpContext(300);
  const TaggedBytes expected = {10, 16, 0, 0, 0, 4, 3, 2, 1, 6, 5, 8, 7, 9, 10, 11, 12, 13, 14, 15, 16,  // GUID
                                18, 0, 0, 0, 0,                                                            // source ""
                                6, 6, 'F', 'e', 'h', 'l', 'e', 'r',                                        // description
                                18, 0, 0, 0, 0,                                                            // help file ""
                                3, 0x2C, 0x01};                                                            // help context
  EXPECT_EQ(WriteOf(Supports<IErrorInfo>(created).Get()), expected);
  EXPECT_EQ(WriteOf(nullptr), TaggedBytes{13});
}

TEST(ErrorInfoMarshalling, TravelsAndLeavesEmptyPartsUnset) {
  auto created = nxCreateErrorInfo();
  created->SetGUID(kSomeInterface);
  created->SetSource(u"Quelle");
  created->SetHelpFile(u"hilfe.chm");
  auto back = ReadOf(WriteOf(Supports<IErrorInfo>(created).Get()));
  ASSERT_TRUE(back);
  TGUID g;
  std::u16string text;
  uint32_t context = 1;
  back->GetGUID(g);
  EXPECT_EQ(g, kSomeInterface);
  back->GetSource(text);
  EXPECT_EQ(text, u"Quelle");
  back->GetDescription(text);
  EXPECT_EQ(text, u"");
  back->GetHelpFile(text);
  EXPECT_EQ(text, u"hilfe.chm");
  back->GetHelpContext(context);
  EXPECT_EQ(context, 0u);

  EXPECT_FALSE(ReadOf({13}));
}

TEST(ErrorInfoMarshalling, FailedQueriesTravelAsEmptyParts) {
  auto broken = testing::Make<HalfBrokenInfo>();
  auto back = ReadOf(WriteOf(broken.Get()));
  ASSERT_TRUE(back);
  TGUID g = kSomeInterface;
  std::u16string text;
  back->GetGUID(g);
  EXPECT_EQ(g, GUID_NULL);
  back->GetDescription(text);
  EXPECT_EQ(text, u"kaputt");
  back->GetSource(text);
  EXPECT_EQ(text, u"");
}

}  // namespace
}  // namespace revurov
