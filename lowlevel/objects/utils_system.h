// Process and system helpers: closing handles once, file identities, the
// privilege and security-descriptor stand-ins, memory status, and the
// registry of live objects that replaces probing memory for an object.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "lowlevel/heap/memory_manager.h"
#include "platform/handles.h"
#include "platform/interface.h"

namespace revurov {

// Kernel object name prefixes for the shared-memory transport.
inline constexpr std::u16string_view nxGlobalObjectPrefix = u"Global\\";
inline constexpr std::u16string_view nxLocalObjectPrefix = u"Local\\";

// Called when closing, signalling or unmapping fails; raises the OS error
// (nxRaiseLastOSError without arguments) unless replaced.
extern void (*nxOSCallFailedHook)();

// Each takes the handle out of its variable with one atomic exchange, so two
// threads closing one variable close it once.
void nxCloseHandleAndNil(platform::THandle& H);
void nxCloseHandleAndInvalidate(platform::THandle& H);
// Signals the event, then closes it (a failed signal leaves it open).
void nxSetEventCloseAndNil(platform::THandle& H);
void nxUnmapViewAndNil(void*& P);

// 32 bytes: 0-7 creation time (100 ns since 1601, 0 when unknown), 8-15 the
// volume (device) as 64 bits, 16-31 the file id (inode, then 8 zero bytes);
// little-endian.
struct TnxFileIdentity {
  uint8_t bytes[32];
};
bool nxGetFileIdentity(platform::THandle aHandle, TnxFileIdentity& aIdentity);
// 64 bytes in the layout of an object id (object id, birth volume, birth
// object, domain), made from the device and inode: file systems here keep
// no object ids of their own. False for an invalid handle or a failed call.
bool nxGetFileObjectID(platform::THandle aHandle, uint8_t (&aBuffer)[64]);

// Privileges are a stand-in: the only privilege the library asks for
// (creating global objects) needs none here and counts as held; every other
// name is not held. Sets the last OS error as the original does.
bool nxEnablePrivilege(std::u16string_view aName, bool aEnable);

// Security descriptors are a stand-in: POSIX objects take their access from
// modes, so a descriptor only keeps its text for whoever creates the object.
struct TnxSecurityDescriptor {
  std::string sdText;
};
using TnxConvertStringSDToSD = bool (*)(std::string_view aText, uint32_t aRevision,
                                        TnxSecurityDescriptor& aDescriptor);
using TnxConvertSDToStringSD = bool (*)(const TnxSecurityDescriptor& aDescriptor, uint32_t aRevision,
                                        std::string& aText);
extern TnxConvertStringSDToSD nxConvertStringSDToSD;
extern TnxConvertSDToStringSD nxConvertSDToStringSD;

struct TnxMemoryStatusEx {
  uint32_t dwLength = 64;
  uint32_t dwMemoryLoad = 0;  // percent of physical memory in use
  uint64_t ullTotalPhys = 0;
  uint64_t ullAvailPhys = 0;
  uint64_t ullTotalPageFile = 0;  // physical memory plus swap
  uint64_t ullAvailPageFile = 0;
  uint64_t ullTotalVirtual = 0;  // the process's address space
  uint64_t ullAvailVirtual = 0;
  uint64_t ullAvailExtendedVirtual = 0;
};
bool nxGetMemoryStatus(TnxMemoryStatusEx& aStatus);
extern bool (*nxGlobalMemoryStatusEx)(TnxMemoryStatusEx& aStatus);

// Live objects: an object that may be named by a pointer of doubtful origin
// registers itself while it lives; nxIsValidObject answers from the registry
// and never reads the memory behind the pointer.
void nxRegisterLiveObject(TnxObject* aObject);
void nxUnregisterLiveObject(TnxObject* aObject) noexcept;
bool nxIsValidObject(const void* aPointer, TnxObject*& aObject);

// The remoting layer sets the hook at its start-up; E_NOTIMPL without it.
extern int32_t (*nxObjectDisconnectHook)(TnxObject* aObject);
int32_t nxDisconnectObject(TnxObject* aObject);

// The process's maker of objects by class ID.
class InxClassActivator : public virtual platform::IInterface {
public:
  static constexpr platform::TGUID IID = platform::nxGuid("{2AF05701-C1AB-4259-BE37-571285940A81}");
  // Out-parameter cleared on entry.
  virtual platform::HRESULT CreateInstance(const platform::TGUID& aClassID, platform::IInterface* aOuter,
                                           const platform::TGUID& aInterfaceID,
                                           platform::TInterfacePtr<platform::IInterface>& aInterface) = 0;
};

// Hands out the process's class activator; the remoting layer sets it at its
// start-up and clears it at its shut-down, nil otherwise.
extern platform::TInterfacePtr<InxClassActivator> (*nxClassActivatorHook)();

// Stays nil in this system; calling it then does nothing.
extern void (*nxStateChangeHook)(void* aContext, TnxObject* aObject, int32_t aState);
void nxCallStateChangeHook(TnxObject* aObject, int32_t aState);

}  // namespace revurov
