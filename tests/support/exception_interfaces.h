// Checks that an exception answers the library's exception interfaces by
// their identifiers, each as the exception itself, refuses any other, and
// does not count references (AddRef and Release return -1).
#pragma once

#include <gtest/gtest.h>

#include "lowlevel/errors/exceptions.h"

namespace revurov::testing {

inline void ExpectAnswersExceptionInterfaces(InxException& aException) {
  auto* unknown = static_cast<platform::IInterface*>(&aException);
  struct Case {
    const char* name;
    platform::TGUID iid;
    void* expected;
  } cases[] = {
      {"IInterface", platform::IInterface::IID, unknown},
      {"InxBaseException", InxBaseException::IID, static_cast<InxBaseException*>(&aException)},
      {"InxExceptionForCallback", InxExceptionForCallback::IID,
       static_cast<InxExceptionForCallback*>(&aException)},
      {"InxException", InxException::IID, &aException},
  };
  for (const auto& c : cases) {
    void* p = nullptr;
    EXPECT_EQ(unknown->QueryInterface(c.iid, &p), platform::S_OK) << c.name;
    EXPECT_EQ(p, c.expected) << c.name;
  }
  void* p = &aException;
  EXPECT_EQ(unknown->QueryInterface(platform::nxGuid("{5BB7DABA-7832-4C41-A52D-77C47058122F}"), &p),
            platform::E_NOINTERFACE);
  EXPECT_EQ(p, nullptr);
  // Counting does nothing: the exception belongs to its handler.
  EXPECT_EQ(unknown->AddRef(), -1);
  EXPECT_EQ(unknown->Release(), -1);
}

}  // namespace revurov::testing
