// TnxClass: its class ID, the reference store that keeps a class's single
// live instance, and what a method answers for an exception.
#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <string>

#include "lowlevel/errors/exceptions.h"
#include "platform/error_info.h"
#include "transport/remoting/class_proxies.h"

namespace revurov {
namespace {

using platform::HRESULT;
using platform::S_OK;
using platform::TGUID;
using platform::TInterfacePtr;

constexpr TGUID kClassID = platform::nxGuid("{0B7E6A52-2C4D-4E8F-9A1B-3C5D7E9F1A50}");

class TServed final : public TnxClass {
public:
  using TnxClass::TnxClass;

  // A method that raises and answers as a served method does.
  HRESULT Fail(const std::function<void()>& aRaise) {
    try {
      aRaise();
      return S_OK;
    } catch (...) {
      return SafeCallException();
    }
  }
};

class THandler final : public TnxInterfacedObject, public platform::IServerExceptionHandler {
public:
  void OnException(std::u16string_view, std::u16string_view aExceptionClass, std::u16string_view aMessage,
                   const void*, bool& aHandled, HRESULT& aResult) override {
    exceptionClass = aExceptionClass;
    message = aMessage;
    aHandled = handles;
    if (handles) aResult = HRESULT(0x80040200u);
  }
  bool handles = true;
  std::u16string exceptionClass;
  std::u16string message;

protected:
  bool GetInterface(const TGUID& iid, void** obj) noexcept override {
    return nxOfferInterface<platform::IServerExceptionHandler>(this, iid, obj) ||
           TnxInterfacedObject::GetInterface(iid, obj);
  }
};

TInterfacePtr<TServed> Make(const TGUID* aClassID, TnxClassReferenceStore* aStore = nullptr) {
  return TInterfacePtr<TServed>(nxCreate<TServed>(aClassID, aStore, nullptr));
}

TEST(TnxClass, AnswersItsClassIDOrNone) {
  TGUID id{};
  EXPECT_EQ(Make(&kClassID)->GetClassID(id), S_OK);
  EXPECT_EQ(id, kClassID);
  EXPECT_EQ(Make(nullptr)->GetClassID(id), S_OK);
  EXPECT_EQ(id, platform::GUID_NULL);
}

TEST(TnxClass, TheStoreKeepsTheFirstLiveInstanceOnly) {
  TnxClassReferenceStore store;
  auto first = Make(&kClassID, &store);
  EXPECT_EQ(store.crsRef, first.Get());
  auto second = Make(&kClassID, &store);
  EXPECT_EQ(store.crsRef, first.Get());
  second = nullptr;
  EXPECT_EQ(store.crsRef, first.Get());
  first = nullptr;
  EXPECT_EQ(store.crsRef, nullptr);
  // An empty store takes the next one.
  auto third = Make(&kClassID, &store);
  EXPECT_EQ(store.crsRef, third.Get());
}

TEST(TnxClass, AnExceptionBecomesTheHandlersAnswerOrAnUnexpectedResultWithItsMessage) {
  auto served = Make(&kClassID);
  const auto raise = [] { throw EnxBaseException(u"broken"); };
  const std::u16string message = EnxBaseException(u"broken").Message();

  // No handler: E_UNEXPECTED, the message in the thread's error information.
  EXPECT_EQ(served->Fail(raise), platform::E_UNEXPECTED);
  TInterfacePtr<platform::IErrorInfo> info;
  ASSERT_EQ(platform::nxGetErrorInfo(info), S_OK);
  std::u16string description;
  info->GetDescription(description);
  EXPECT_EQ(description, message);

  const TInterfacePtr<THandler> handler(nxCreate<THandler>());
  served->SetServerExceptionHandler(handler.Get());
  EXPECT_EQ(served->Fail(raise), HRESULT(0x80040200u));
  EXPECT_EQ(handler->exceptionClass, u"EnxBaseException");
  EXPECT_EQ(handler->message, message);

  handler->handles = false;
  EXPECT_EQ(served->Fail([] { throw std::runtime_error("plain"); }), platform::E_UNEXPECTED);
  EXPECT_EQ(handler->message, u"plain");
}

}  // namespace
}  // namespace revurov
