// Test interfaces declared for dynamic invocation: one with a method per
// marshalled kind (in, var, out and as result), safecall failures, a
// callback and a returned interface, and their server object.
#pragma once

#include <atomic>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "lowlevel/objects/interfaced_object.h"
#include "platform/guid.h"
#include "platform/interface.h"
#include "platform/variant.h"
#include "transport/remoting/call_context.h"
#include "transport/remoting/invoke_declare.h"
#include "transport/remoting/remoting_interfaces.h"
#include "transport/remoting/typed_values.h"

namespace revurov::testing {

enum class TColour : uint8_t { Red, Green, Blue, Violet };
using TBits = TnxSet<5, 12>;  // straddles a byte

}  // namespace revurov::testing

REVUROV_ENUM_RANGE(revurov::testing::TColour, 0, 3);

namespace revurov::testing {

class TPlainObject {};

class ITestCallback : public virtual platform::IInterface {
public:
  static constexpr platform::TGUID IID = platform::nxGuid("{5F0E1D2C-3B4A-4958-8776-A5B4C3D2E101}");
  virtual int32_t Twice(int32_t aValue) = 0;
};

class ITestInvoke : public virtual platform::IInterface {
public:
  static constexpr platform::TGUID IID = platform::nxGuid("{5F0E1D2C-3B4A-4958-8776-A5B4C3D2E102}");
  virtual platform::HRESULT Ordinals(int8_t a, uint8_t b, int16_t c, uint16_t d, int32_t e, uint32_t f, int64_t g,
                                     bool h, char i, char16_t j, TColour k, int64_t& sum, TColour& next) = 0;
  virtual platform::HRESULT Floats(float a, double b, long double c, TnxComp d, TnxCurrency e, double& io,
                                   double& total) = 0;
  virtual platform::HRESULT Texts(const std::u16string& u, const std::string& ansi, const TnxOleString& ole,
                                  TnxShortString<20> shortText, std::u16string& io, std::u16string& joined) = 0;
  virtual platform::HRESULT Values(const platform::TnxVariant& v, const TBits& bits, const platform::TGUID& id,
                                   platform::TnxVariant& echoed, TBits& flipped, platform::TGUID& idOut) = 0;
  virtual platform::HRESULT Arrays(const std::vector<int32_t>& numbers, std::vector<std::u16string>& texts) = 0;
  virtual platform::HRESULT OnlyOuts(int32_t& a, std::u16string& b) = 0;
  virtual platform::HRESULT TakeObject(TPlainObject* object) = 0;
  // safecall
  virtual std::u16string Format(int32_t n, const std::u16string& s, double d) = 0;
  virtual int32_t Fail(int32_t code) = 0;
  virtual platform::TInterfacePtr<ITestCallback> MakeCallback(int32_t factor) = 0;
  virtual int32_t CallBack(const platform::TInterfacePtr<ITestCallback>& callback, int32_t value) = 0;
  virtual int32_t PathLength() = 0;
  // the register convention
  virtual int64_t Big(int64_t a) = 0;
  virtual double Half(double a) = 0;
  virtual std::u16string Name() = 0;
};

// A descendant with one more method, over the same object.
class ITestInvokeMore : public ITestInvoke {
public:
  static constexpr platform::TGUID IID = platform::nxGuid("{5F0E1D2C-3B4A-4958-8776-A5B4C3D2E103}");
  virtual platform::HRESULT More(int32_t a, int32_t& b) = 0;
};

}  // namespace revurov::testing

#define REVUROV_TEST_CALLBACK_METHODS(M) M(Twice, ccSafeCall, int32_t, (int32_t aValue), (aValue), u"")
REVUROV_INVOKABLE(revurov::testing::ITestCallback, u"InvokeTests", revurov::platform::IInterface, REVUROV_NO_METHODS,
                  REVUROV_TEST_CALLBACK_METHODS)

#define REVUROV_TEST_INVOKE_METHODS(M)                                                                               \
  M(Ordinals, ccStdCall, ::revurov::platform::HRESULT,                                                               \
    (int8_t a, uint8_t b, int16_t c, uint16_t d, int32_t e, uint32_t f, int64_t g, bool h, char i, char16_t j,        \
     ::revurov::testing::TColour k, int64_t& sum, ::revurov::testing::TColour& next),                                \
    (a, b, c, d, e, f, g, h, i, j, k, sum, next), u"sum, next")                                                      \
  M(Floats, ccStdCall, ::revurov::platform::HRESULT,                                                                 \
    (float a, double b, long double c, ::revurov::TnxComp d, ::revurov::TnxCurrency e, double& io, double& total),    \
    (a, b, c, d, e, io, total), u"total")                                                                            \
  M(Texts, ccStdCall, ::revurov::platform::HRESULT,                                                                  \
    (const std::u16string& u, const std::string& ansi, const ::revurov::TnxOleString& ole,                           \
     ::revurov::TnxShortString<20> shortText, std::u16string& io, std::u16string& joined),                           \
    (u, ansi, ole, shortText, io, joined), u"joined")                                                                \
  M(Values, ccStdCall, ::revurov::platform::HRESULT,                                                                 \
    (const ::revurov::platform::TnxVariant& v, const ::revurov::testing::TBits& bits,                                \
     const ::revurov::platform::TGUID& id, ::revurov::platform::TnxVariant& echoed, ::revurov::testing::TBits& flipped, \
     ::revurov::platform::TGUID& idOut),                                                                             \
    (v, bits, id, echoed, flipped, idOut), u"echoed, flipped, idOut")                                                \
  M(Arrays, ccStdCall, ::revurov::platform::HRESULT,                                                                 \
    (const std::vector<int32_t>& numbers, std::vector<std::u16string>& texts), (numbers, texts), u"")                \
  M(OnlyOuts, ccStdCall, ::revurov::platform::HRESULT, (int32_t & a, std::u16string & b), (a, b), u"a, b")           \
  M(TakeObject, ccStdCall, ::revurov::platform::HRESULT, (::revurov::testing::TPlainObject * object), (object), u"") \
  M(Format, ccSafeCall, std::u16string, (int32_t n, const std::u16string& s, double d), (n, s, d), u"")              \
  M(Fail, ccSafeCall, int32_t, (int32_t code), (code), u"")                                                          \
  M(MakeCallback, ccSafeCall, ::revurov::platform::TInterfacePtr<::revurov::testing::ITestCallback>, (int32_t factor), \
    (factor), u"")                                                                                                   \
  M(CallBack, ccSafeCall, int32_t,                                                                                   \
    (const ::revurov::platform::TInterfacePtr<::revurov::testing::ITestCallback>& callback, int32_t value),          \
    (callback, value), u"")                                                                                          \
  M(PathLength, ccSafeCall, int32_t, (), (), u"")                                                                    \
  M(Big, ccReg, int64_t, (int64_t a), (a), u"")                                                                      \
  M(Half, ccReg, double, (double a), (a), u"")                                                                       \
  M(Name, ccReg, std::u16string, (), (), u"")
REVUROV_INVOKABLE(revurov::testing::ITestInvoke, u"InvokeTests", revurov::platform::IInterface, REVUROV_NO_METHODS,
                  REVUROV_TEST_INVOKE_METHODS)

#define REVUROV_TEST_INVOKE_MORE_METHODS(M) \
  M(More, ccStdCall, ::revurov::platform::HRESULT, (int32_t a, int32_t & b), (a, b), u"")
REVUROV_INVOKABLE(revurov::testing::ITestInvokeMore, u"InvokeTests", revurov::testing::ITestInvoke,
                  REVUROV_TEST_INVOKE_METHODS, REVUROV_TEST_INVOKE_MORE_METHODS)

namespace revurov::testing {

inline std::atomic<int32_t> gLiveInvokeObjects{0};

class TTestCallback final : public TnxInterfacedObject, public ITestCallback {
public:
  explicit TTestCallback(int32_t aFactor = 2) : cbFactor(aFactor) {}
  int32_t Twice(int32_t aValue) override {
    ++calls;
    return aValue * cbFactor;
  }
  std::atomic<int32_t> calls{0};

protected:
  bool GetInterface(const platform::TGUID& iid, void** obj) noexcept override {
    return nxOfferInterface<ITestCallback>(this, iid, obj) || TnxInterfacedObject::GetInterface(iid, obj);
  }

private:
  int32_t cbFactor;
};

inline constexpr platform::TGUID kInvokeClassID = platform::nxGuid("{5F0E1D2C-3B4A-4958-8776-A5B4C3D2E110}");

// What the tests call: every method answers from its arguments.
class TInvokeObject final : public TnxInterfacedObject, public ITestInvokeMore, public InxClass {
public:
  TInvokeObject() { ++gLiveInvokeObjects; }
  ~TInvokeObject() override { --gLiveInvokeObjects; }

  platform::HRESULT Ordinals(int8_t a, uint8_t b, int16_t c, uint16_t d, int32_t e, uint32_t f, int64_t g, bool h,
                             char i, char16_t j, TColour k, int64_t& sum, TColour& next) override {
    sum = a + b + c + d + e + int64_t(f) + g + (h ? 1 : 0) + i + j;
    next = TColour((int(k) + 1) % 4);
    return platform::S_OK;
  }
  platform::HRESULT Floats(float a, double b, long double c, TnxComp d, TnxCurrency e, double& io,
                           double& total) override {
    total = double(a) + b + double(c) + double(d.cpValue) + double(e.cyValue) / 10000.0;
    io = io * 2;
    return platform::S_OK;
  }
  platform::HRESULT Texts(const std::u16string& u, const std::string& ansi, const TnxOleString& ole,
                          TnxShortString<20> shortText, std::u16string& io, std::u16string& joined) override {
    joined = u + u"|" + std::u16string(ansi.begin(), ansi.end()) + u"|" + ole.osText + u"|" +
             std::u16string(shortText.View().begin(), shortText.View().end());
    io = io + u"!";
    return platform::S_OK;
  }
  platform::HRESULT Values(const platform::TnxVariant& v, const TBits& bits, const platform::TGUID& id,
                           platform::TnxVariant& echoed, TBits& flipped, platform::TGUID& idOut) override {
    echoed = v;
    for (int e = 5; e <= 12; ++e) {
      if (bits.Contains(e)) flipped.Exclude(e);
      else flipped.Include(e);
    }
    idOut = id;
    return platform::S_OK;
  }
  platform::HRESULT Arrays(const std::vector<int32_t>& numbers, std::vector<std::u16string>& texts) override {
    for (int32_t n : numbers) texts.push_back(std::u16string(size_t(n), u'x'));
    return numbers.empty() ? platform::S_FALSE : platform::S_OK;
  }
  platform::HRESULT OnlyOuts(int32_t& a, std::u16string& b) override {
    a = 42;
    b = u"out";
    return platform::S_OK;
  }
  platform::HRESULT TakeObject(TPlainObject*) override { return platform::S_OK; }
  std::u16string Format(int32_t n, const std::u16string& s, double d) override {
    return s + u":" + std::u16string(1, char16_t(u'0' + n % 10)) + (d > 0 ? u"+" : u"-");
  }
  int32_t Fail(int32_t code) override {
    if (code == 0) return 7;
    throw EOleSysError(u"failed on purpose", platform::HRESULT(code));
  }
  platform::TInterfacePtr<ITestCallback> MakeCallback(int32_t factor) override {
    return platform::TInterfacePtr<ITestCallback>(nxCreate<TTestCallback>(factor));
  }
  int32_t CallBack(const platform::TInterfacePtr<ITestCallback>& callback, int32_t value) override {
    return callback ? callback->Twice(value) + 1 : -1;
  }
  int32_t PathLength() override {
    platform::TInterfacePtr<InxCallContext> context = nxCurrentCallContext();
    if (!context) return -1;
    TnxRoutingPath path;
    context->GetRoutingPath(path);
    return int32_t(path.size());
  }
  int64_t Big(int64_t a) override { return a * 3; }
  double Half(double a) override { return a / 2; }
  std::u16string Name() override { return u"TInvokeObject"; }
  platform::HRESULT More(int32_t a, int32_t& b) override {
    b = a + b;
    return platform::S_OK;
  }
  platform::HRESULT GetClassID(platform::TGUID& aClassID) override {
    aClassID = kInvokeClassID;
    return platform::S_OK;
  }

protected:
  bool GetInterface(const platform::TGUID& iid, void** obj) noexcept override {
    return nxOfferInterface<ITestInvoke>(this, iid, obj) || nxOfferInterface<ITestInvokeMore>(this, iid, obj) ||
           nxOfferInterface<InxClass>(this, iid, obj) || TnxInterfacedObject::GetInterface(iid, obj);
  }
};

}  // namespace revurov::testing
