#include "lowlevel/objects/persistent.h"
#include "lowlevel/streams/exception_data.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "lowlevel/errors/error_codes.h"
#include "lowlevel/errors/exceptions.h"
#include "platform/rtl_exception.h"
#include "support/exception_message.h"

namespace revurov {

using platform::IInterface;
using platform::TGUID;
using platform::TInterfacePtr;
namespace {

class InxProbe : public virtual IInterface {
public:
  static constexpr TGUID IID = platform::nxGuid("{0B7C1E52-3A5D-4F6E-9A11-22C3D4E5F601}");
  virtual int Answer() = 0;
};

class InxAbsent : public virtual IInterface {
public:
  static constexpr TGUID IID = platform::nxGuid("{0B7C1E52-3A5D-4F6E-9A11-22C3D4E5F602}");
};

class TProbe : public TnxPersistent, public InxProbe {
  REVUROV_PERSISTENT_CLASS(TProbe)
  int Answer() override { return 42; }
  bool taught = false;

protected:
  bool GetInterface(const TGUID& iid, void** obj) noexcept override {
    return nxOfferInterface<InxProbe>(this, iid, obj) || TnxPersistent::GetInterface(iid, obj);
  }
};

TEST(Persistent, QueriesWithoutReferenceCounting) {
  TProbe probe;
  IInterface* unknown = static_cast<InxProbe*>(&probe);
  EXPECT_EQ(unknown->AddRef(), -1);
  EXPECT_EQ(unknown->Release(), -1);

  void* out = nullptr;
  ASSERT_EQ(unknown->QueryInterface(InxProbe::IID, &out), platform::S_OK);
  EXPECT_EQ(static_cast<InxProbe*>(out)->Answer(), 42);
  ASSERT_EQ(unknown->QueryInterface(IInterface::IID, &out), platform::S_OK);
  EXPECT_NE(out, nullptr);
  out = &probe;
  EXPECT_EQ(unknown->QueryInterface(InxAbsent::IID, &out), platform::E_NOINTERFACE);
  EXPECT_EQ(out, nullptr);
  // The private identifier leads from any interface back to the object.
  EXPECT_EQ(TnxPersistent::FromInterface(unknown), &probe);
  EXPECT_EQ(TnxPersistent::FromInterface(nullptr), nullptr);
  {
    // Holding counted pointers neither frees nor leaks (ASan): the owner frees.
    TInterfacePtr<InxProbe> held = platform::Supports<InxProbe>(unknown);
    ASSERT_TRUE(held);
    TInterfacePtr<InxProbe> copy = held;
  }
  EXPECT_EQ(probe.Answer(), 42);
}

TEST(Persistent, DescribesItselfAndRecordsUnsupportedOperations) {
  TProbe probe;
  TnxExceptionDataRef data = nxCreateExceptionDataContainer(u"ExceptionData");
  probe.GetExceptionData(*data, false);
  ASSERT_EQ(data->Count(), 2);
  EXPECT_EQ(data->Values(0)->Name(), u"SelfPtr");
  EXPECT_EQ(data->Values(0)->AsInteger(), reinterpret_cast<intptr_t>(&probe));
  EXPECT_EQ(data->Values(1)->AsString(), u"TProbe");

  struct Case {
    std::u16string operation, message;
  } cases[] = {{u"Seek", u"RevurOV: Seek not supported by TProbe [$3001/12289]"},
               {u"", u"RevurOV: Method not supported by TProbe [$3001/12289]"}};
  for (const Case& c : cases) {
    EXPECT_EQ(probe.NotSupported(c.operation), nxeCapabilityNotSupported);
    // The next exception of that code on this thread takes the text.
    EnxBaseException e(static_cast<int64_t>(nxeCapabilityNotSupported));
    EXPECT_EQ(e.Message(), c.message);
  }
}

class TTracked : public TnxLifetimeTrackedPersistent {
  REVUROV_PERSISTENT_CLASS(TTracked)
};

// Knows how to copy itself into a TProbe only; TProbe knows nobody.
class TTeacher : public TnxPersistent {
  REVUROV_PERSISTENT_CLASS(TTeacher)
  void AssignTo(TnxPersistent* aDest) const override {
    if (auto* probe = dynamic_cast<TProbe*>(aDest))
      probe->taught = true;
    else
      TnxPersistent::AssignTo(aDest);
  }
};

TEST(Persistent, AssignGoesThroughTheSourcesAssignTo) {
  TProbe probe;
  TTeacher teacher;
  probe.Assign(&teacher);  // the target does not know the source, the source knows the target
  EXPECT_TRUE(probe.taught);
  teacher.AssignTo(&probe);
}

TEST(Persistent, AssignWithoutAKnowingSideRaises) {
  TProbe probe;
  TTeacher teacher;
  TTracked tracked;
  struct Case {
    const char* what;
    std::function<void()> call;
    std::u16string message;
  } cases[] = {
      {"null source", [&] { probe.Assign(nullptr); }, u"nil kann nicht zu TProbe zugewiesen werden"},
      {"unknown source", [&] { tracked.Assign(&probe); }, u"TProbe kann nicht zu TTracked zugewiesen werden"},
      {"source knows other targets", [&] { tracked.Assign(&teacher); },
       u"TTeacher kann nicht zu TTracked zugewiesen werden"},
      {"to itself", [&] { probe.Assign(&probe); }, u"TProbe kann nicht zu TProbe zugewiesen werden"},
      {"null target", [&] { probe.AssignTo(nullptr); }, u"TProbe kann nicht zu nil zugewiesen werden"},
      {"unknown target", [&] { probe.AssignTo(&tracked); }, u"TProbe kann nicht zu TTracked zugewiesen werden"},
  };
  for (const Case& c : cases) EXPECT_EQ(testing::MessageOf<platform::EConvertError>(c.call), c.message) << c.what;
  EXPECT_FALSE(probe.taught);
}

TEST(Persistent, LifetimeMonitorSeesTheObjectGo) {
  auto* tracked = new TTracked;
  TInterfacePtr<InxLifetimeMonitorRef> first = tracked->GetLifetimeMonitor();
  TInterfacePtr<InxLifetimeMonitorRef> second = tracked->GetLifetimeMonitor();
  ASSERT_TRUE(first);
  EXPECT_EQ(first.Get(), second.Get());  // made once
  EXPECT_TRUE(first->IsAlive());
  delete tracked;
  EXPECT_FALSE(first->IsAlive());
  EXPECT_FALSE(second->IsAlive());
  // An object never asked for a monitor goes without one.
  delete new TTracked;
}

TEST(Persistent, RacingFirstRequestsShareOneMonitor) {
  for (int round = 0; round < 50; ++round) {
    auto* tracked = new TTracked;
    std::vector<TInterfacePtr<InxLifetimeMonitorRef>> got(4);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) threads.emplace_back([&, t] { got[t] = tracked->GetLifetimeMonitor(); });
    for (std::thread& t : threads) t.join();
    for (int t = 1; t < 4; ++t) EXPECT_EQ(got[t].Get(), got[0].Get());
    delete tracked;
    EXPECT_FALSE(got[0]->IsAlive());
  }
}

}  // namespace
}  // namespace revurov
