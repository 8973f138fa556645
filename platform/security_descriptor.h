// Security descriptors in their string form ("O:…G:…D:(A;;GA;;;WD)"), the
// way a listening pipe is told who may open it, checked here against the
// credentials of a local peer.
//
// Contract:
// - Parse accepts the owner, group, DACL and SACL components, each once, in
//   any order; ACEs "(type;flags;rights;object;inherited object;trustee)"
//   with the usual two-letter codes or a number for the rights. A text it
//   cannot read answers false and sets the thread's last OS error (EINVAL);
//   nothing else is changed.
// - Trustees map onto local users: Everyone (WD, S-1-1-0), authenticated
//   (AU) and interactive (IU) users are every local peer; LocalSystem (SY)
//   and the administrators (BA) are the superuser; creator/owner (CO, OW)
//   the server's own user, creator group (CG) its group; S-1-22-1-<uid> and
//   S-1-22-2-<gid> name one user or group. Any other trustee matches nobody.
// - AllowsReadWrite is the usual access check for read and write access to
//   a pipe: ACEs in order, a deny ACE that names a right still wanted
//   refuses, allow ACEs grant until everything is granted. No DACL (or
//   "NO_ACCESS_CONTROL") admits everybody; an empty DACL nobody. The
//   default descriptor grants everything to Everyone.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

namespace revurov::platform {

struct TPeerIdentity {
  uint32_t uid = 0;
  uint32_t gid = 0;
};

class TSecurityDescriptor {
public:
  // Everyone, all access.
  TSecurityDescriptor();

  static bool Parse(std::u16string_view aText, TSecurityDescriptor& aResult);

  // aServer: whom creator/owner and creator group stand for.
  bool AllowsReadWrite(const TPeerIdentity& aPeer, const TPeerIdentity& aServer) const noexcept;

  enum class TTrustee : uint8_t { Nobody, Everyone, Superuser, Owner, OwnerGroup, User, Group };
  struct TEntry {
    bool allow = true;
    uint32_t rights = 0;  // generic rights already mapped to the pipe's own
    TTrustee trustee = TTrustee::Nobody;
    uint32_t id = 0;  // of User and Group
  };

private:
  bool sdHasDacl = true;
  std::vector<TEntry> sdDacl;
};

// The credentials of this process.
TPeerIdentity CurrentIdentity() noexcept;

}  // namespace revurov::platform
