// Binding of modules to the process's heap: modules loaded into this
// process, and scenarios that need a process of their own (run by the
// helper program built beside the tests).
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "lowlevel/heap/memory_manager.h"

namespace revurov {
namespace {

const std::string kDir = REVUROV_MM_TEST_DIR;

struct TModule {
  void* handle = nullptr;
  template <typename F>
  F Get(const char* name) {
    auto f = reinterpret_cast<F>(dlsym(handle, name));
    EXPECT_NE(f, nullptr) << name;
    return f;
  }
};

TEST(MemoryManagerBinding, TwoModulesAdoptOneHeapAndFreeEachOthersBlocks) {
  nxMemoryManagerBind();
  TModule a{dlopen((kDir + "/mm_module_a.so").c_str(), RTLD_NOW | RTLD_LOCAL)};
  TModule b{dlopen((kDir + "/mm_module_b.so").c_str(), RTLD_NOW | RTLD_LOCAL)};
  ASSERT_TRUE(a.handle && b.handle) << dlerror();
  a.Get<void (*)()>("ModuleBind")();
  b.Get<void (*)()>("ModuleBind")();
  EXPECT_FALSE(a.Get<bool (*)()>("ModuleIsPublisher")());
  EXPECT_FALSE(b.Get<bool (*)()>("ModuleIsPublisher")());
  // Both call the routine this process published (or adopted).
  const void* ours = reinterpret_cast<const void*>(nxMemoryManagerFunctions().mmfGetMem);
  EXPECT_EQ(a.Get<const void* (*)()>("ModuleGetMemEntry")(), ours);
  EXPECT_EQ(b.Get<const void* (*)()>("ModuleGetMemEntry")(), ours);

  auto getA = a.Get<void* (*)(std::size_t)>("ModuleGetMem");
  auto freeB = b.Get<int (*)(void*)>("ModuleFreeMem");
  auto getB = b.Get<void* (*)(std::size_t)>("ModuleGetMem");
  auto freeA = a.Get<int (*)(void*)>("ModuleFreeMem");
  for (std::size_t size : {1, 64, 1000, 32735, 100000}) {
    void* p = getA(size);
    static_cast<char*>(p)[size - 1] = 1;
    EXPECT_EQ(freeB(p), 0) << size;
    void* q = getB(size);
    EXPECT_EQ(freeA(q), 0) << size;
    void* r = nxGetMem(size);
    EXPECT_EQ(freeB(r), 0) << size;
  }
#ifndef REVUROV_SYSTEM_HEAP
  void* twice = getA(48);
  EXPECT_EQ(freeB(twice), 0);
  EXPECT_EQ(freeA(twice), 1);  // the one heap knows it is free
#endif
  // An object built in one module, destroyed in another.
  void* obj = a.Get<void* (*)(int)>("ModuleNewObject")(42);
  EXPECT_EQ(b.Get<int (*)(void*)>("ModuleObjectValue")(obj), 42);
  b.Get<void (*)(void*)>("ModuleDeleteObject")(obj);

  a.Get<void (*)()>("ModuleUnbind")();
  b.Get<void (*)()>("ModuleUnbind")();
  dlclose(a.handle);
  dlclose(b.handle);
  void* p = nxGetMem(10);  // ours still works
  nxFreeMem(p);
  nxMemoryManagerUnbind();
}

// Runs the helper and answers its exit code; its standard output goes to out.
int RunHelper(const std::string& command, std::string* out = nullptr) {
  FILE* f = popen(command.c_str(), "r");
  if (!f) return -1;
  char buf[512];
  std::string text;
  while (std::fgets(buf, sizeof buf, f)) text += buf;
  const int status = pclose(f);
  if (out) *out = text;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}

TEST(MemoryManagerBinding, ScenariosInAProcessOfTheirOwn) {
  const struct {
    const char* what;
    std::string command;
  } rows[] = {
      {"publishes, withdraws at unbind, binds again by first use", kDir + "/mm_helper lifecycle"},
      {"a block left by a killed process is not adopted", kDir + "/mm_helper stale-dead"},
      {"a block of a dead process whose id is ours is not adopted", kDir + "/mm_helper stale-reused"},
      {"an empty mapping left half-made is taken over", kDir + "/mm_helper stale-half"},
      {"the heap of nxmm.so beside the program is adopted", kDir + "/with_nxmm/mm_helper_nxmm nxmm"},
  };
  for (const auto& row : rows) {
    std::string out;
    EXPECT_EQ(RunHelper(row.command + " 2>&1", &out), 0) << row.what << "\n" << out;
  }
}

std::map<std::string, long> ParseCounts(const std::string& text) {
  std::map<std::string, long> values;
  std::size_t pos = 0;
  while (pos < text.size()) {
    const std::size_t end = text.find('\n', pos);
    const std::string line = text.substr(pos, end - pos);
    const std::size_t eq = line.find('=');
    if (eq != std::string::npos) values[line.substr(0, eq)] = std::atol(line.c_str() + eq + 1);
    if (end == std::string::npos) break;
    pos = end + 1;
  }
  return values;
}

TEST(MemoryManagerBinding, HookModuleWithAllSixteenExportsSeesEveryCall) {
  std::string out;
  ASSERT_EQ(RunHelper("ZirezMM5Hook=" + kDir + "/mm_hook16.so " + kDir + "/mm_helper hooks", &out), 0) << out;
  auto v = ParseCounts(out);
  EXPECT_EQ(v["active"], 1);
  EXPECT_EQ(v["clearOnFree"], 0);       // not published with a hook module
  EXPECT_EQ(v["afterGetMemSaw"], 200);  // BeforeGetMem enlarged a request of 100
  EXPECT_EQ(v["allocSize"], 0);
  // The helper's calls: four allocations, four releases, one resize, one
  // size query, one pool handle with one item, two committed blocks (one of
  // them mapable), one physical allocation and one release of a non-nil
  // physical block; releases of nil reach no hook.
  const long expected[16] = {
      4, 4,  // BeforeGetMem, AfterGetMem
      4,     // BeforeFreeMem
      1, 1,  // BeforeReallocMem, AfterReallocMem
      1, 1,  // BeforeGetAllocSize, AfterGetAllocSize
      2, 1,  // AfterBlockPoolCommittedAlloc, BeforeBlockPoolCommittedDispose
      0, 0,  // the two large-block hooks are never called
      1, 1,  // AfterBlockPoolPhysicalAlloc, BeforeBlockPoolPhysicalDispose
      1,     // BeforeGetPool
      1, 1,  // AfterMemoryPoolAlloc, BeforeMemoryPoolDispose
  };
  for (int i = 0; i < 16; ++i) EXPECT_EQ(v["hook" + std::to_string(i)], expected[i]) << "hook " << i;
}

TEST(MemoryManagerBinding, HookModuleMissingOneExportIsIgnored) {
  std::string out;
  ASSERT_EQ(RunHelper("ZirezMM5Hook=" + kDir + "/mm_hook15.so " + kDir + "/mm_helper hooks", &out), 0) << out;
  auto v = ParseCounts(out);
  EXPECT_EQ(v["active"], 0);
  EXPECT_EQ(v["clearOnFree"], 1);
  EXPECT_EQ(v["afterGetMemSaw"], 0);
  for (int i = 0; i < 16; ++i) EXPECT_EQ(v["hook" + std::to_string(i)], 0) << "hook " << i;
}

TEST(MemoryManagerBinding, ShutdownIsCleanUnderValgrind) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__) || defined(REVUROV_SYSTEM_HEAP)
  GTEST_SKIP() << "valgrind checks the library-heap build";
#else
  if (std::system("command -v valgrind >/dev/null 2>&1") != 0) GTEST_SKIP() << "valgrind is not installed";
  std::string out;
  const int rc = RunHelper("valgrind -q --error-exitcode=9 --leak-check=full --errors-for-leak-kinds=definite,indirect " +
                               kDir + "/mm_helper lifecycle 2>&1",
                           &out);
  EXPECT_EQ(rc, 0) << out;
#endif
}

}  // namespace
}  // namespace revurov
