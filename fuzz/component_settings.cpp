// Component settings streams on any bytes: loaded into one state component
// and into a named group, as a configuration store hands them over.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "fuzz/fuzz_input.h"
#include "fuzz/fuzz_seeds.h"
#include "lowlevel/components/component_notifications.h"
#include "lowlevel/components/state_component.h"
#include "lowlevel/startup.h"
#include "lowlevel/streams/memory_stream.h"
#include "lowlevel/streams/tagged_stream.h"
#include "platform/rtl_exception.h"

namespace revurov::fuzz {

namespace {

// Components end through Free, which runs their before-destruction step.
struct FreeComponent {
  void operator()(TnxStateComponent* aComponent) const { platform::TComponent::Free(aComponent); }
};
using TComponentPtr = std::unique_ptr<TnxStateComponent, FreeComponent>;

TComponentPtr Named(std::u16string aName) {
  TComponentPtr c(new TnxStateComponent(nullptr));
  c->SetName(std::move(aName));
  return c;
}

// Kept for the process: loading settings is what is fuzzed. Made after the
// start-up, so freed before the shut-down at exit.
struct TFixture {
  TnxLowLevelStartupGuard library;
  TComponentPtr single = Named(u"single");
  std::vector<TComponentPtr> members;
  TnxIterationList group;
  TFixture() {
    for (const char16_t* name : {u"Alpha", u"beta", u""}) {
      members.push_back(Named(name));
      group.Add(members.back().get());
    }
  }
};

TFixture* gFixture = nullptr;

std::string Bytes(TnxMemoryStream& aStream) {
  return std::string(reinterpret_cast<const char*>(aStream.ByteArray()), static_cast<size_t>(aStream.GetSize()));
}

}  // namespace

void SetUp() {
  static TFixture fixture;
  gFixture = &fixture;
}

std::vector<std::string> Seeds() {
  const TComponentPtr a = Named(u"Alpha");
  a->SetEventLogEnabled(true);
  TnxMemoryStream one;
  {
    TnxWriter w(one);
    a->SaveSettingsToStream(w);
  }
  TnxMemoryStream group;
  {
    TnxWriter w(group);
    nxSaveSettingsToStream(gFixture->group, w);
  }
  return {Bytes(one), Bytes(group)};
}

}  // namespace revurov::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* aData, size_t aSize) {
  using namespace revurov;
  std::string bytes(fuzz::Bytes(aData, aSize));
  for (bool group : {false, true}) {
    TnxStaticMemoryStream stream(bytes.data(), static_cast<int64_t>(bytes.size()));
    try {
      TnxReader r(stream);
      if (group)
        nxLoadSettingsFromStream(fuzz::gFixture->group, r);
      else
        fuzz::gFixture->single->LoadSettingsFromStream(r);
    } catch (const platform::Exception&) {
    }
  }
  return 0;
}
