// The exception bases of the storage engines and the server engine, and
// the lines that explain why a lock could not be granted.
#pragma once

#include "lowlevel/errors/exceptions.h"
#include "platform/string_list.h"

namespace revurov {

REVUROV_EXCEPTION_CLASS(EnxServerException, EnxBaseException);
// Failures of the operating system (files, mostly).
REVUROV_EXCEPTION_CLASS(EnxServerOSException, EnxServerException);

// Filled by the server's lock container. Clear is not virtual in the base:
// clear through this type so that SameSession goes back to false too.
class TnxLockFailureReason : public platform::TStringList {
public:
  void Clear() {
    platform::TStringList::Clear();
    SameSession = false;
  }

  // The conflicting holder is the requesting session.
  bool SameSession = false;
};

}  // namespace revurov
