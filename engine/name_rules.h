// The checks engines run on the names clients give them: table names, table
// paths (a table followed by ":"-parts that lead to a related table), alias
// names and the names of other objects, and the tests that tell temporary
// tables by their names.
//
// Contract:
// - Each check answers 0 or its error code and leaves the code's own-text
//   tag followed by the detail as the thread's message (nxSetMessage); none
//   raises.
// - A "missing" code (10024, 10014, 8712) replaces the name error only for
//   an empty name with aEmptyIsMissing set; the message stays the one of the
//   name error.
// - A table name is an identifier, or one inside "<" ">" (a temporary table;
//   only the inner text is checked). Names starting "$" are system tables,
//   allowed only with aAllowSystem.
#pragma once

#include <cstdint>
#include <string_view>

namespace revurov {

inline constexpr char16_t nxChildNameSeparator = u':';

// A name in angle brackets, or one with exactly three leading "#".
bool nxIsTempGlobalTableName(std::u16string_view aName) noexcept;
// A name with exactly two leading "#".
bool nxIsTempDatabaseTableName(std::u16string_view aName) noexcept;

// 0, 10039, or 10024 for an empty name with aEmptyIsMissing.
uint32_t nxValidateTableName(std::u16string_view aName, bool aEmptyIsMissing, bool aAllowSystem);
// The parts after a path's first ":": each "." or ".." or an identifier.
// 0 or 10039.
uint32_t nxValidateRelativeTableName(std::u16string_view aName);
// A table name, then optionally ":" and the relative parts. 0, 10039, or
// 10024 for an empty path with aEmptyIsMissing.
uint32_t nxValidateTablePath(std::u16string_view aPath, bool aEmptyIsMissing, bool aAllowSystem);
// 0, 10067, or 10014 for an empty name with aEmptyIsMissing.
uint32_t nxValidateAliasName(std::u16string_view aName, bool aEmptyIsMissing);
// 0, 10068, or 8712 for an empty name with aEmptyIsMissing.
uint32_t nxValidateName(std::u16string_view aName, bool aEmptyIsMissing);

}  // namespace revurov
