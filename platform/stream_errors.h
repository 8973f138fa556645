// The runtime's stream, list and range errors, raised by streams, the tagged
// reader and writer and the lists.
#pragma once

#include "platform/exception.h"

namespace revurov::platform {

class EStreamError : public Exception {
public:
  using Exception::Exception;
};

// "Stream-Lesefehler" and the tagged reader's "Ungültiger Eigenschaftswert".
class EReadError : public EStreamError {
public:
  using EStreamError::EStreamError;
};

// "Stream-Schreibfehler".
class EWriteError : public EStreamError {
public:
  using EStreamError::EStreamError;
};

class ERangeError : public Exception {
public:
  using Exception::Exception;
};

class EListError : public Exception {
public:
  using Exception::Exception;
};

}  // namespace revurov::platform
