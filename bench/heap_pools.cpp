// Pool allocation against the system allocator, mimalloc and jemalloc:
// batches of 16-1024 byte requests, on one thread and on eight threads that
// free each other's batches, and of 16-256 byte requests (the library's
// typical objects) on one thread. The peers are loaded with dlopen and called by
// their own entry points (mi_malloc, mallocx), so that neither takes over
// the process's malloc.
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "lowlevel/heap/item_manager.h"

namespace {

using namespace revurov::mm;

struct Allocator {
  void* (*alloc)(std::size_t);
  void (*free)(void*);
};

void* oursAlloc(std::size_t n) { return nxItemGetMem(n); }
void oursFree(void* p) { nxItemFreeMem(p); }

void* (*miMalloc)(std::size_t) = nullptr;
void (*miFree)(void*) = nullptr;
void* (*jeMallocx)(std::size_t, int) = nullptr;
void (*jeDallocx)(void*, int) = nullptr;
void* jeAlloc(std::size_t n) { return jeMallocx(n, 0); }
void jeFree(void* p) { jeDallocx(p, 0); }

constexpr int kBatch = 256;
constexpr int kSlots = 16;
std::vector<std::size_t> sizes1024, sizes256;

// A batch of pointers; threads swap whole batches through the slots.
struct Batch {
  void* p[kBatch];
  int count = 0;
};
std::atomic<Batch*> slots[kSlots];
std::vector<Batch*> spare;  // one per thread, handed out at set-up

void makeSizes() {
  std::mt19937 rng(42);
  sizes1024.resize(kBatch);
  for (auto& s : sizes1024) s = 16 + rng() % 1009;
  sizes256.resize(kBatch);
  for (auto& s : sizes256) s = 16 + rng() % 241;
}

void Run(benchmark::State& state, Allocator a, const std::vector<std::size_t>& sizes) {
  const bool share = state.threads() > 1;
  Batch* mine = share ? spare[state.thread_index()] : new Batch;
  int round = state.thread_index();
  for (auto _ : state) {
    for (int i = 0; i < kBatch; ++i) {
      void* p = a.alloc(sizes[i]);
      static_cast<char*>(p)[0] = 1;
      mine->p[i] = p;
    }
    mine->count = kBatch;
    if (share) mine = slots[(round++) % kSlots].exchange(mine);
    for (int i = 0; i < mine->count; ++i) a.free(mine->p[i]);
    mine->count = 0;
  }
  state.SetItemsProcessed(state.iterations() * kBatch);
  if (share) {
    spare[state.thread_index()] = mine;
  } else {
    delete mine;
  }
}

Allocator current{};

void Setup(const benchmark::State& state) {
  spare.clear();
  for (int t = 0; t < state.threads(); ++t) spare.push_back(new Batch);
  for (auto& s : slots) s.store(new Batch);
}

void Teardown(const benchmark::State&) {
  for (auto& s : slots) {
    Batch* b = s.exchange(nullptr);
    for (int i = 0; i < b->count; ++i) current.free(b->p[i]);
    delete b;
  }
  for (Batch* b : spare) delete b;
  spare.clear();
}

void Register(const char* name, Allocator a) {
  const struct {
    const char* name;
    int threads;
    const std::vector<std::size_t>* sizes;
  } cases[] = {
      {"pools_16_1024_single/", 1, &sizes1024},
      {"pools_16_1024_cross_thread/", 8, &sizes1024},
      {"pools_16_256_single/", 1, &sizes256},
  };
  for (const auto& c : cases) {
    const std::vector<std::size_t>* sizes = c.sizes;
    benchmark::RegisterBenchmark((std::string(c.name) + name).c_str(), [a, sizes](benchmark::State& st) {
      current = a;
      Run(st, a, *sizes);
    })
        ->Threads(c.threads)
        ->Setup(Setup)
        ->Teardown(Teardown)
        ->UseRealTime();
  }
}

template <typename F>
bool load(const char* library, const char* name1, F& f1, const char* name2, auto& f2) {
  void* h = dlopen(library, RTLD_NOW | RTLD_LOCAL | RTLD_DEEPBIND);
  if (!h) {
    std::fprintf(stderr, "%s not loaded: %s\n", library, dlerror());
    return false;
  }
  f1 = reinterpret_cast<F>(dlsym(h, name1));
  f2 = reinterpret_cast<std::remove_reference_t<decltype(f2)>>(dlsym(h, name2));
  return f1 && f2;
}

}  // namespace

int main(int argc, char** argv) {
  // jemalloc keeps its thread state in static TLS, which a library loaded
  // later only finds when the loader set room aside at start: restart once
  // with that room.
  if (!std::getenv("REVUROV_BENCH_TLS")) {
    setenv("REVUROV_BENCH_TLS", "1", 1);
    setenv("GLIBC_TUNABLES", "glibc.rtld.optional_static_tls=262144", 1);
    execv("/proc/self/exe", argv);
  }
  if (!nxItemManagerStartup()) return 1;
  makeSizes();
  Register("ours", {oursAlloc, oursFree});
  Register("peer:glibc", {std::malloc, std::free});
  if (load("libmimalloc.so.2", "mi_malloc", miMalloc, "mi_free", miFree)) Register("peer:mimalloc", {miMalloc, miFree});
  if (load("libjemalloc.so.2", "mallocx", jeMallocx, "dallocx", jeDallocx)) Register("peer:jemalloc", {jeAlloc, jeFree});
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  nxItemManagerShutdown();
  return 0;
}
