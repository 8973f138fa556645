// The registries against a plain list of (control, key, priority): random
// register, release, keyed and generic registration, unregister, enumerate
// and select, each answer compared with what the list says. The threaded
// run gives every thread IDs, classes and interfaces of its own on one
// shared registry, so each thread's list stays exact (ThreadSanitizer
// watches the rest).
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <optional>
#include <random>
#include <thread>
#include <vector>

#include "remoting_test_support.h"
#include "transport/remoting/factory_registry.h"

namespace revurov {
namespace {

using platform::CO_E_OBJISREG;
using platform::E_INVALIDARG;
using platform::E_NOINTERFACE;
using platform::HRESULT;
using platform::S_FALSE;
using platform::S_OK;
using platform::TGUID;
using platform::TInterfacePtr;
using testing::Id;
using testing::Make;
using testing::TestFactory;

constexpr int kSlots = 5;  // factory IDs per thread
constexpr int kKeys = 3;   // classes and interfaces per thread

struct Registration {
  TnxFactoryKeyKind kind;
  int c, i;  // indexes into the thread's classes and interfaces
  int priority;
  uint64_t seq;
};

template <class Registry, class Control, bool interfaceKeys>
class Model {
public:
  Model(Registry& aRegistry, int aThread, uint32_t aSeed) : registry(aRegistry), thread(aThread), rng(aSeed) {
    for (int s = 0; s < kSlots; ++s) {
      factories.push_back(Make<TestFactory>([this, s](const TGUID& c, const TGUID& i) { return Supports(s, c, i); }));
      slots.emplace_back();
    }
  }

  void Run(int aSteps) {
    for (int step = 0; step < aSteps && !::testing::Test::HasFailure(); ++step) {
      SCOPED_TRACE(step);
      const int slot = static_cast<int>(rng() % kSlots);
      switch (rng() % 8) {
        case 0: Register(slot); break;
        case 1: Release(slot); break;
        case 2: case 3: RegisterKey(slot); break;
        case 4: RegisterGeneric(slot); break;
        case 5: Unregister(slot); break;
        case 6: Enumerate(); break;
        default: Select(); break;
      }
    }
  }

private:
  struct Slot {
    TInterfacePtr<Control> control;
    std::vector<Registration> keyed;
    std::optional<Registration> generic;
  };

  TGUID SlotID(int s) const { return Id(static_cast<uint32_t>(thread * 100 + s)); }
  TGUID ClassID(int c) const { return Id(static_cast<uint32_t>(0x10000 + thread * 100 + c)); }
  TGUID IntfID(int i) const { return Id(static_cast<uint32_t>(0x20000 + thread * 100 + i)); }
  int IndexOf(const TGUID& g, uint32_t base) const {
    const int64_t n = int64_t{g.D1} - base - thread * 100;
    return n >= 0 && n < kKeys && g == Id(g.D1) ? static_cast<int>(n) : -1;
  }

  // Only the thread's own classes; some pairs are refused.
  HRESULT Supports(int s, const TGUID& c, const TGUID& i) const {
    const int ci = IndexOf(c, 0x10000);
    if (ci < 0) return S_FALSE;
    const int ii = interfaceKeys ? IndexOf(i, 0x20000) : 0;
    return (s + ci * 3 + ii) % 4 != 0 ? S_OK : S_FALSE;
  }

  void Register(int s) {
    TInterfacePtr<Control> control;
    const HRESULT hr = registry.Register(SlotID(s), factories[s].Get(), control);
    if (slots[s].control) {
      EXPECT_EQ(hr, CO_E_OBJISREG);
      EXPECT_FALSE(control);
    } else {
      ASSERT_EQ(hr, S_OK);
      slots[s].control = control;
    }
  }

  void Release(int s) { slots[s] = Slot{}; }

  int Priority() { return static_cast<int>(rng() % 13) - 6; }
  static bool Valid(int p) { return p >= -5 && p <= 5; }

  void RegisterKey(int s) {
    Slot& slot = slots[s];
    if (!slot.control) return;
    const TnxFactoryKeyKind kind = interfaceKeys ? TnxFactoryKeyKind(rng() % 3) : fkClass;
    const int c = kind == fkInterface ? 0 : static_cast<int>(rng() % kKeys);
    const int i = kind == fkClass ? 0 : static_cast<int>(rng() % kKeys);
    const int p = Priority();
    HRESULT hr;
    if constexpr (interfaceKeys) {
      switch (kind) {
        case fkPair: hr = slot.control->RegisterForPair(int8_t(p), ClassID(c), IntfID(i)); break;
        case fkClass: hr = slot.control->RegisterForClass(int8_t(p), ClassID(c)); break;
        default: hr = slot.control->RegisterForInterface(int8_t(p), IntfID(i)); break;
      }
    } else {
      hr = slot.control->RegisterForClass(int8_t(p), ClassID(c));
    }
    const bool taken = std::any_of(slot.keyed.begin(), slot.keyed.end(), [&](const Registration& r) {
      return r.kind == kind && r.c == c && r.i == i;
    });
    if (!Valid(p)) {
      EXPECT_EQ(hr, E_INVALIDARG);
    } else if (taken) {
      EXPECT_EQ(hr, CO_E_OBJISREG);
    } else {
      EXPECT_EQ(hr, S_OK);
      slot.keyed.push_back({kind, c, i, p, ++seq});
    }
  }

  void RegisterGeneric(int s) {
    Slot& slot = slots[s];
    if (!slot.control) return;
    const int p = Priority();
    const HRESULT hr = slot.control->RegisterGeneric(int8_t(p));
    if (!Valid(p)) {
      EXPECT_EQ(hr, E_INVALIDARG);
    } else if (slot.generic) {
      EXPECT_EQ(hr, CO_E_OBJISREG);
    } else {
      EXPECT_EQ(hr, S_OK);
      slot.generic = Registration{fkClass, 0, 0, p, ++seq};
    }
  }

  void Unregister(int s) {
    Slot& slot = slots[s];
    if (!slot.control) return;
    EXPECT_EQ(slot.control->Unregister(), S_OK);
    slot.keyed.clear();
    slot.generic.reset();
  }

  bool KeyMatches(const Registration& r, int c, int i) const {
    switch (r.kind) {
      case fkPair: return r.c == c && r.i == i;
      case fkClass: return r.c == c;
      default: return r.i == i;
    }
  }

  void Enumerate() {
    const int c = static_cast<int>(rng() % kKeys), i = static_cast<int>(rng() % kKeys);
    const size_t capacity = rng() % 4;
    // The model: priorities ascending, kinds in order, generic last, each
    // list in registration order, every control once.
    std::vector<int> visited, offered;
    HRESULT expected = S_OK;
    auto visit = [&](int s) {
      if (std::find(visited.begin(), visited.end(), s) != visited.end()) return true;
      visited.push_back(s);
      if (Supports(s, ClassID(c), IntfID(i)) != S_OK) return true;
      if (capacity > 0 && offered.size() == capacity) return false;
      offered.push_back(s);
      return true;
    };
    for (int p = -5; p <= 5 && expected == S_OK; ++p) {
      for (int kind = 0; kind <= 3 && expected == S_OK; ++kind) {
        std::vector<std::pair<uint64_t, int>> list;
        for (int s = 0; s < kSlots; ++s) {
          if (kind == 3) {
            if (slots[s].generic && slots[s].generic->priority == p) list.emplace_back(slots[s].generic->seq, s);
          } else {
            for (const Registration& r : slots[s].keyed)
              if (r.kind == kind && r.priority == p && KeyMatches(r, c, i)) list.emplace_back(r.seq, s);
          }
        }
        std::sort(list.begin(), list.end());
        for (const auto& [order, s] : list)
          if (!visit(s)) {
            expected = S_FALSE;
            break;
          }
      }
    }
    if (expected == S_OK && offered.empty()) expected = E_NOINTERFACE;

    std::vector<TGUID> ids(capacity);
    int32_t found = -1;
    EXPECT_EQ(registry.Enumerate(ClassID(c), interfaceKeys ? IntfID(i) : platform::GUID_NULL, ids, found), expected);
    ASSERT_EQ(found, static_cast<int32_t>(offered.size()));
    if (capacity > 0) {
      for (size_t k = 0; k < offered.size(); ++k) EXPECT_EQ(ids[k], SlotID(offered[k]));
    }
  }

  void Select() {
    const int c = static_cast<int>(rng() % kKeys), i = static_cast<int>(rng() % kKeys);
    std::vector<TGUID> candidates;
    HRESULT expected = E_NOINTERFACE;
    TGUID chosen = platform::GUID_NULL;
    bool decided = false;
    for (size_t n = rng() % 4; n > 0; --n) {
      const int s = static_cast<int>(rng() % kSlots);
      candidates.push_back(SlotID(s));
      if (decided || !slots[s].control) continue;
      decided = true;
      const Slot& slot = slots[s];
      const bool registered = slot.generic || std::any_of(slot.keyed.begin(), slot.keyed.end(), [&](const Registration& r) {
                                return KeyMatches(r, c, i);
                              });
      expected = registered ? Supports(s, ClassID(c), IntfID(i)) : S_FALSE;
      if (expected == S_OK) chosen = SlotID(s);
    }
    TGUID answer = Id(12345);
    EXPECT_EQ(registry.Select(ClassID(c), interfaceKeys ? IntfID(i) : platform::GUID_NULL, candidates, answer), expected);
    EXPECT_EQ(answer, chosen);
  }

  Registry& registry;
  int thread;
  std::mt19937 rng;
  uint64_t seq = 0;
  std::vector<TInterfacePtr<TestFactory>> factories;
  std::vector<Slot> slots;
};

using InterfaceModel = Model<TnxInterfaceStubFactoryRegistry, InxInterfaceStubFactoryControl, true>;

class FactoryRegistryModel : public testing::RemotingStarted {};

TEST_F(FactoryRegistryModel, InterfaceFamilyAnswersAsTheListSays) {
  for (uint32_t seed : {1u, 2u, 3u}) {
    SCOPED_TRACE(seed);
    auto registry = Make<TnxInterfaceStubFactoryRegistry>();
    InterfaceModel model(*registry, 0, seed);
    model.Run(4000);
  }
}

TEST_F(FactoryRegistryModel, ClassFamilyAnswersAsTheListSays) {
  for (uint32_t seed : {4u, 5u}) {
    SCOPED_TRACE(seed);
    auto registry = Make<TnxClassProxyFactoryRegistry>();
    Model<TnxClassProxyFactoryRegistry, InxClassProxyFactoryControl, false> model(*registry, 0, seed);
    model.Run(4000);
  }
}

TEST_F(FactoryRegistryModel, EightThreadsOnOneRegistryEachAnswerAsTheirList) {
  auto registry = Make<TnxInterfaceStubFactoryRegistry>();
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t)
    threads.emplace_back([&registry, t] {
      InterfaceModel model(*registry, t + 1, 100u + static_cast<uint32_t>(t));
      model.Run(800);
    });
  for (std::thread& thread : threads) thread.join();
}

}  // namespace
}  // namespace revurov
