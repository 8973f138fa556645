// The library started, one test engine and a way to free components.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "lowlevel/startup.h"
#include "support/named_component.h"
#include "support/test_engine.h"

namespace revurov::testing {

struct ComponentFree {
  void operator()(platform::TComponent* aComponent) const { platform::TComponent::Free(aComponent); }
};
template <class T>
using ComponentPtr = std::unique_ptr<T, ComponentFree>;

class EngineFixture : public ::testing::Test {
protected:
  TnxLowLevelStartupGuard library;
  ComponentPtr<TestEngine> engine{new TestEngine(nullptr)};
};

}  // namespace revurov::testing
