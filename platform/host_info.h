// What a client tells a server about itself: a file's size and local
// modification time, the computer's name and the user's.
//
// Contract: each answers false and leaves its outputs alone when the system
// does not tell; none raises. Names are UTF-8 from the system, as UTF-16.
#pragma once

#include <cstdint>
#include <string>

#include "platform/date_time.h"

namespace revurov::platform {

// aModified: local time.
bool GetFileSizeAndTime(const std::string& aPath, int64_t& aSize, TDateTime& aModified) noexcept;
bool GetComputerName(std::u16string& aName) noexcept;
// The effective user's login name.
bool GetUserName(std::u16string& aName) noexcept;

}  // namespace revurov::platform
