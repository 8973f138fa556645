// The interfaces through which an outside cursor source serves a server
// database: the database asks each registered source, in registration
// order, for a cursor on a table it cannot find itself; the registering
// caller ends the registration through the control it got back.
#pragma once

#include <cstdint>
#include <string_view>

#include "platform/guid.h"
#include "platform/interface.h"

namespace revurov {

class TnxAbstractCursor;

class InxDatabaseCursorSource : public virtual platform::IInterface {
public:
  static constexpr platform::TGUID IID = platform::nxGuid("{7E0F3C52-5B7A-4C61-9D0E-2B8C4F1A6D93}");
  // A new cursor on aTableName, or nil when this source has no such table.
  virtual TnxAbstractCursor* CursorOpen(std::u16string_view aTableName) = 0;

protected:
  ~InxDatabaseCursorSource() = default;
};

class InxDatabaseCursorSourceControl : public virtual platform::IInterface {
public:
  static constexpr platform::TGUID IID = platform::nxGuid("{3DBBA72D-F8D2-4AF9-9400-2EE56AD499DF}");
  // Ends the registration; a second call does nothing and answers 0.
  virtual uint32_t Unregister() = 0;

protected:
  ~InxDatabaseCursorSourceControl() = default;
};

}  // namespace revurov
