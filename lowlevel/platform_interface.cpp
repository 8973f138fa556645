#include "lowlevel/platform_interface.h"

namespace revurov {

namespace {
thread_local bool tIsMainThread = false;
}  // namespace

bool nxIsMainThread() noexcept { return tIsMainThread; }
void nxSetIsMainThread(bool aValue) noexcept { tIsMainThread = aValue; }

}  // namespace revurov
