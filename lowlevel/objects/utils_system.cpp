#include "lowlevel/objects/utils_system.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <unordered_set>

#include "lowlevel/errors/exceptions.h"
#include "platform/endian.h"
#include "platform/file_identity.h"
#include "platform/os_error.h"
#include "platform/system_info.h"

namespace revurov {

using platform::THandle;

void (*nxOSCallFailedHook)() = [] { nxRaiseLastOSError(); };

void nxCloseHandleAndNil(THandle& H) {
  THandle h = std::atomic_ref<THandle>(H).exchange(0);
  if (h != 0 && h != platform::INVALID_HANDLE_VALUE && !platform::CloseHandle(h)) nxOSCallFailedHook();
}

void nxCloseHandleAndInvalidate(THandle& H) {
  THandle h = std::atomic_ref<THandle>(H).exchange(platform::INVALID_HANDLE_VALUE);
  if (h != 0 && h != platform::INVALID_HANDLE_VALUE && !platform::CloseHandle(h)) nxOSCallFailedHook();
}

void nxSetEventCloseAndNil(THandle& H) {
  THandle h = std::atomic_ref<THandle>(H).exchange(0);
  if (h == 0 || h == platform::INVALID_HANDLE_VALUE) return;
  if (!platform::SignalEventHandle(h)) {
    nxOSCallFailedHook();
    return;
  }
  if (!platform::CloseHandle(h)) nxOSCallFailedHook();
}

void nxUnmapViewAndNil(void*& P) {
  void* p = std::atomic_ref<void*>(P).exchange(nullptr);
  if (p && !platform::UnmapView(p)) nxOSCallFailedHook();
}

namespace {
// 100 ns intervals from 1601-01-01 to 1970-01-01.
constexpr uint64_t kFileTimeUnixEpoch = 116444736000000000ull;
}  // namespace

bool nxGetFileIdentity(THandle aHandle, TnxFileIdentity& aIdentity) {
  platform::TFileIdentity id;
  if (!platform::GetFileIdentity(aHandle, id)) return false;
  std::memset(aIdentity.bytes, 0, sizeof aIdentity.bytes);
  uint64_t created = 0;
  if (id.hasBirthTime && id.birthSeconds >= 0)
    created = kFileTimeUnixEpoch + static_cast<uint64_t>(id.birthSeconds) * 10000000ull +
              id.birthNanoseconds / 100;
  platform::StoreU64(aIdentity.bytes, created);
  platform::StoreU64(aIdentity.bytes + 8, id.device);
  platform::StoreU64(aIdentity.bytes + 16, id.inode);
  return true;
}

bool nxGetFileObjectID(THandle aHandle, uint8_t (&aBuffer)[64]) {
  if (aHandle == platform::INVALID_HANDLE_VALUE) return false;
  platform::TFileIdentity id;
  if (!platform::GetFileIdentity(aHandle, id)) return false;
  std::memset(aBuffer, 0, sizeof aBuffer);
  platform::StoreU64(aBuffer, id.inode);
  platform::StoreU64(aBuffer + 8, id.device);
  platform::StoreU64(aBuffer + 16, id.device);
  platform::StoreU64(aBuffer + 32, id.inode);
  platform::StoreU64(aBuffer + 40, id.device);
  return true;
}

bool nxEnablePrivilege(std::u16string_view aName, bool /*aEnable*/) {
  platform::SetLastOSError(ENOTSUP);
  if (aName == u"SeCreateGlobalPrivilege") {
    platform::SetLastOSError(0);
    return true;
  }
  platform::SetLastOSError(EPERM);
  return false;
}

namespace {
bool StringSDToSD(std::string_view aText, uint32_t aRevision, TnxSecurityDescriptor& aDescriptor) {
  if (aRevision != 1) {
    platform::SetLastOSError(EINVAL);
    return false;
  }
  aDescriptor.sdText.assign(aText);
  return true;
}
bool SDToStringSD(const TnxSecurityDescriptor& aDescriptor, uint32_t aRevision, std::string& aText) {
  if (aRevision != 1) {
    platform::SetLastOSError(EINVAL);
    return false;
  }
  aText = aDescriptor.sdText;
  return true;
}
}  // namespace

TnxConvertStringSDToSD nxConvertStringSDToSD = StringSDToSD;
TnxConvertSDToStringSD nxConvertSDToStringSD = SDToStringSD;

bool nxGetMemoryStatus(TnxMemoryStatusEx& aStatus) {
  aStatus = TnxMemoryStatusEx{};
  platform::TSystemMemory memory;
  if (!platform::GetSystemMemory(memory)) return false;
  aStatus.ullTotalPhys = memory.Total;
  aStatus.ullAvailPhys = memory.Available;
  aStatus.ullTotalPageFile = memory.Total + memory.SwapTotal;
  aStatus.ullAvailPageFile = memory.Available + memory.SwapFree;
  if (aStatus.ullTotalPhys)
    aStatus.dwMemoryLoad =
        static_cast<uint32_t>(100 - (aStatus.ullAvailPhys * 100) / aStatus.ullTotalPhys);
  // x86-64 user address space (47 bits).
  aStatus.ullTotalVirtual = uint64_t{1} << 47;
  aStatus.ullAvailVirtual = aStatus.ullTotalVirtual;
  return true;
}

bool (*nxGlobalMemoryStatusEx)(TnxMemoryStatusEx& aStatus) = nxGetMemoryStatus;

namespace {
std::mutex gLiveLock;
std::unordered_set<const void*>& LiveObjects() {
  static std::unordered_set<const void*> set;
  return set;
}
}  // namespace

void nxRegisterLiveObject(TnxObject* aObject) {
  if (!aObject) return;
  std::lock_guard<std::mutex> g(gLiveLock);
  LiveObjects().insert(aObject);
}

void nxUnregisterLiveObject(TnxObject* aObject) noexcept {
  std::lock_guard<std::mutex> g(gLiveLock);
  LiveObjects().erase(aObject);
}

bool nxIsValidObject(const void* aPointer, TnxObject*& aObject) {
  aObject = nullptr;
  if (!aPointer) return false;
  std::lock_guard<std::mutex> g(gLiveLock);
  if (!LiveObjects().count(aPointer)) return false;
  aObject = static_cast<TnxObject*>(const_cast<void*>(aPointer));
  return true;
}

int32_t (*nxObjectDisconnectHook)(TnxObject* aObject) = nullptr;

int32_t nxDisconnectObject(TnxObject* aObject) {
  auto hook = nxObjectDisconnectHook;
  return hook ? hook(aObject) : platform::E_NOTIMPL;
}

platform::TInterfacePtr<InxClassActivator> (*nxClassActivatorHook)() = nullptr;

void (*nxStateChangeHook)(void* aContext, TnxObject* aObject, int32_t aState) = nullptr;

void nxCallStateChangeHook(TnxObject* aObject, int32_t aState) {
  if (auto hook = nxStateChangeHook) hook(nullptr, aObject, aState);
}

}  // namespace revurov
