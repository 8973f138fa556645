// Runs one binding scenario in a process of its own, where nothing has
// touched the library heap yet. Exit 0: the scenario held; otherwise a line
// on stderr says what did not.
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "lowlevel/heap/memory_manager.h"
#include "lowlevel/heap/memory_manager_impl.h"
#include "platform/endian.h"
#include "platform/text.h"

using namespace revurov;

namespace {

#define CHECK(cond)                                                   \
  do {                                                                \
    if (!(cond)) {                                                    \
      std::fprintf(stderr, "%s:%d: %s failed\n", __FILE__, __LINE__, #cond); \
      std::exit(1);                                                   \
    }                                                                 \
  } while (0)

std::string NameOf(uint32_t pid) {
  std::string name(1, '/');
  name += platform::Utf16ToUtf8(nxMemoryManagerMappingName(pid));
  return name;
}

bool NameExists() {
  const int fd = shm_open(NameOf(uint32_t(getpid())).c_str(), O_RDONLY, 0);
  if (fd < 0) return false;
  close(fd);
  return true;
}

// Writes a complete block as a publisher would.
void WriteBlock(uint32_t namePid, uint32_t ownerPid, uint64_t startTime, uint64_t table) {
  const int fd = shm_open(NameOf(namePid).c_str(), O_RDWR | O_CREAT, 0600);
  CHECK(fd >= 0);
  CHECK(ftruncate(fd, nxMappingSize) == 0);
  auto* p = static_cast<uint8_t*>(mmap(nullptr, nxMappingSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
  CHECK(p != MAP_FAILED);
  platform::StoreU64(p + nxMappingTableOffset, table);
  platform::StoreU32(p + nxMappingPidOffset, ownerPid);
  platform::StoreU64(p + nxMappingStartTimeOffset, startTime);
  platform::StoreU32(p + nxMappingReadyOffset, 1);
  munmap(p, nxMappingSize);
  close(fd);
}

// Binds, checks that this module publishes and that the heap works, and
// that unbinding takes the name away.
void BindAsPublisherAndUnbind() {
  nxMemoryManagerBind();
  CHECK(nxMemoryManagerIsPublisher());
  CHECK(mm::nxMaintenanceThreadRunning());
  const int fd = shm_open(NameOf(uint32_t(getpid())).c_str(), O_RDONLY, 0);
  CHECK(fd >= 0);
  auto* p = static_cast<uint8_t*>(mmap(nullptr, nxMappingSize, PROT_READ, MAP_SHARED, fd, 0));
  CHECK(p != MAP_FAILED);
  CHECK(platform::LoadU32(p + nxMappingReadyOffset) == 1);
  CHECK(platform::LoadU32(p + nxMappingPidOffset) == uint32_t(getpid()));
  CHECK(platform::LoadU64(p + nxMappingStartTimeOffset) == nxProcessStartTime(uint32_t(getpid())));
  CHECK(platform::LoadU64(p + nxMappingTableOffset) != 0);
  munmap(p, nxMappingSize);
  close(fd);
  void* block = nxGetMem(1000);
  std::memset(block, 1, 1000);
  nxFreeMem(block);
  nxMemoryManagerUnbind();
  CHECK(!nxMemoryManagerBound());
  CHECK(!mm::nxMaintenanceThreadRunning());
  CHECK(!NameExists());
}

int Lifecycle() {
  // A killed process that had our id may have left its name behind (ids come
  // round quickly where the id space is small); the stale cases cover it.
  shm_unlink(NameOf(uint32_t(getpid())).c_str());
  CHECK(!NameExists());
  BindAsPublisherAndUnbind();
  // Bound again, by first use this time, and many objects through it.
  struct TItem : TnxObject {
    char payload[40] = {};
  };
  TItem* items[1000];
  for (auto*& item : items) item = new TItem;
  for (auto*& item : items) nxFreeAndNil(item);
  nxMemoryManagerCleanupNow();
  CHECK(nxMemoryManagerIsPublisher());
  return 0;  // the end of the process releases the first-use binding
}

int StaleFromDeadProcess() {
  const uint32_t parent = uint32_t(getpid());
  const pid_t child = fork();
  CHECK(child >= 0);
  if (child == 0) {
    WriteBlock(parent, uint32_t(getpid()), nxProcessStartTime(uint32_t(getpid())), 0x10);
    raise(SIGKILL);
  }
  int status = 0;
  CHECK(waitpid(child, &status, 0) == child);
  CHECK(WIFSIGNALED(status));
  CHECK(NameExists());
  BindAsPublisherAndUnbind();
  return 0;
}

int StaleFromReusedId() {
  const uint32_t self = uint32_t(getpid());
  WriteBlock(self, self, nxProcessStartTime(self) + 1, 0x10);
  BindAsPublisherAndUnbind();
  return 0;
}

int StaleHalfWritten() {
  const int fd = shm_open(NameOf(uint32_t(getpid())).c_str(), O_RDWR | O_CREAT, 0600);
  CHECK(fd >= 0);
  close(fd);
  BindAsPublisherAndUnbind();
  return 0;
}

int ManagerModule() {
  nxMemoryManagerBind();
  CHECK(!nxMemoryManagerIsPublisher());
  char exe[4096];
  const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
  CHECK(n > 0);
  std::string path(exe, std::size_t(n));
  path = path.substr(0, path.rfind('/')) + "/nxmm.so";
  void* nxmm = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
  CHECK(nxmm != nullptr);
  auto isPublisher = reinterpret_cast<bool (*)()>(dlsym(nxmm, "NxmmIsPublisher"));
  CHECK(isPublisher && isPublisher());
  Dl_info info{};
  CHECK(dladdr(reinterpret_cast<void*>(nxMemoryManagerFunctions().mmfGetMem), &info) && info.dli_fname);
  CHECK(std::string(info.dli_fname).ends_with("/nxmm.so"));
  void* p = nxGetMem(64);
  nxFreeMem(p);
  nxMemoryManagerUnbind();
  return 0;
}

// Prints the hook module's counters after a fixed set of calls.
int Hooks() {
  nxMemoryManagerBind();
  const TnxMemoryManagerFunctions& t = nxMemoryManagerFunctions();
  std::printf("active=%d\n", mm::nxHookModuleActive() ? 1 : 0);
  std::printf("clearOnFree=%d\n", t.mmfClearOnFree ? 1 : 0);

  const char* path = std::getenv("ZirezMM5Hook");
  void* module = path ? dlopen(path, RTLD_NOW | RTLD_NOLOAD) : nullptr;
  CHECK(module != nullptr);
  auto calls = reinterpret_cast<long (*)(int)>(dlsym(module, "HookCalls"));
  auto lastSize = reinterpret_cast<std::size_t (*)()>(dlsym(module, "HookLastAfterGetMemSize"));
  CHECK(calls && lastSize);

  void* p = nxGetMem(100);
  std::printf("afterGetMemSaw=%zu\n", lastSize());
  nxFreeMem(p);
  void* q = nullptr;
  nxReallocMem(q, 10);
  nxReallocMem(q, 5000);
  nxReallocMem(q, 0);
  struct TItem : TnxObject {
    int x = 0;
  };
  delete new TItem;
  const TnxPoolHandle pool = nxGetMemoryPool(24);
  void* item = TnxMemoryPool::Alloc(pool);
  TnxMemoryPool::Dispose(pool, item);
  TnxMemoryPool::Dispose(pool, item);  // nil now
  TnxMemoryPool::DisposeDirect(pool, nullptr);
  void* block = nxBlockPoolCommittedAlloc(nxBlockPoolsCommitted[0]);
  nxBlockPoolCommittedDispose(nxBlockPoolsCommitted[0], block);
  nxBlockPoolCommittedDispose(nxBlockPoolsCommitted[0], block);  // nil now
  nxMapableBlockFree(nxMapableBlockAlloc(0));
  t.mmfPhysicalBlockAlloc(t.mmfPhysicalBlockPools[0]);
  t.mmfPhysicalBlockFree(t.mmfPhysicalBlockPools[0], nullptr);
  t.mmfPhysicalBlockFree(t.mmfPhysicalBlockPools[0], reinterpret_cast<void*>(0x10000));
  void* sized = nxGetMem(8);
  std::printf("allocSize=%zu\n", t.mmfGetAllocSize(sized));
  nxFreeMem(sized);

  for (int i = 0; i < 16; ++i) std::printf("hook%d=%ld\n", i, calls(i));
  nxMemoryManagerUnbind();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string scenario = argc > 1 ? argv[1] : "";
  if (scenario == "lifecycle") return Lifecycle();
  if (scenario == "stale-dead") return StaleFromDeadProcess();
  if (scenario == "stale-reused") return StaleFromReusedId();
  if (scenario == "stale-half") return StaleHalfWritten();
  if (scenario == "nxmm") return ManagerModule();
  if (scenario == "hooks") return Hooks();
  std::fprintf(stderr, "unknown scenario '%s'\n", scenario.c_str());
  return 2;
}
