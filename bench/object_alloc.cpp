// Object creation and destruction through TnxObject (the library heap)
// against the same objects on new/delete of the system allocator (glibc),
// on one thread and on eight threads at once. Each round creates a batch of
// objects of three sizes and destroys them in creation order.
#include <benchmark/benchmark.h>

#include <cstdint>

#include "lowlevel/heap/memory_manager.h"

namespace {

using revurov::TnxObject;

struct TOurSmall : TnxObject {
  char payload[24] = {};
};
struct TOurMedium : TnxObject {
  char payload[56] = {};
};
struct TOurLarge : TnxObject {
  char payload[184] = {};
};

// The same objects without the library's base: a virtual destructor too.
struct TPeerBase {
  virtual ~TPeerBase() = default;
};
struct TPeerSmall : TPeerBase {
  char payload[24] = {};
};
struct TPeerMedium : TPeerBase {
  char payload[56] = {};
};
struct TPeerLarge : TPeerBase {
  char payload[184] = {};
};

constexpr int kBatch = 96;

template <typename Base, typename Small, typename Medium, typename Large>
void CreateFree(benchmark::State& state) {
  Base* objects[kBatch];
  for (auto _ : state) {
    for (int i = 0; i < kBatch; i += 3) {
      objects[i] = new Small;
      objects[i + 1] = new Medium;
      objects[i + 2] = new Large;
    }
    benchmark::DoNotOptimize(objects);
    for (Base* o : objects) delete o;
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * kBatch);
}

void Ours(benchmark::State& state) { CreateFree<TnxObject, TOurSmall, TOurMedium, TOurLarge>(state); }
void Peer(benchmark::State& state) { CreateFree<TPeerBase, TPeerSmall, TPeerMedium, TPeerLarge>(state); }

BENCHMARK(Ours)->Name("object_create_free/ours")->Threads(1)->Threads(8)->UseRealTime();
BENCHMARK(Peer)->Name("object_create_free/peer:glibc")->Threads(1)->Threads(8)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  revurov::nxMemoryManagerBind();
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  revurov::nxMemoryManagerUnbind();
  return 0;
}
