#include "engine/name_rules.h"

#include <string>

#include "lowlevel/errors/error_codes.h"
#include "lowlevel/errors/exceptions.h"
#include "lowlevel/wide_strings/utils_identifier.h"

namespace revurov {

namespace {

bool IsBracketed(std::u16string_view aName) noexcept {
  return aName.size() >= 3 && aName.front() == u'<' && aName.back() == u'>';
}

// How many "#" the name starts with.
size_t LeadingHashes(std::u16string_view aName) noexcept {
  size_t n = 0;
  while (n < aName.size() && aName[n] == u'#') ++n;
  return n;
}

struct TPathSplit {
  std::u16string_view First;
  std::u16string_view Rest;
  bool HasRest;
};

TPathSplit SplitAtSeparator(std::u16string_view aPath) noexcept {
  size_t at = aPath.find(nxChildNameSeparator);
  if (at == std::u16string_view::npos) return {aPath, {}, false};
  return {aPath.substr(0, at), aPath.substr(at + 1), true};
}

}  // namespace

bool nxIsTempGlobalTableName(std::u16string_view aName) noexcept {
  return IsBracketed(aName) || (aName.size() >= 4 && LeadingHashes(aName) == 3);
}

bool nxIsTempDatabaseTableName(std::u16string_view aName) noexcept {
  return aName.size() >= 3 && LeadingHashes(aName) == 2;
}

uint32_t nxValidateTableName(std::u16string_view aName, bool aEmptyIsMissing, bool aAllowSystem) {
  uint32_t result;
  if (aName.find(nxChildNameSeparator) != std::u16string_view::npos) {
    result = EnxBaseException::nxSetMessage(
        nxeInvalidTableName, nxOriginalMessageTag() + u" Child name separators \":\" are not allowed.");
  } else {
    std::u16string_view checked = IsBracketed(aName) ? aName.substr(1, aName.size() - 2) : aName;
    result = nxCheckIdentifier(checked, nxeInvalidTableName, false, aAllowSystem);
  }
  if (result != 0 && aEmptyIsMissing && aName.empty()) result = nxeTableDoesNotExist;
  return result;
}

uint32_t nxValidateRelativeTableName(std::u16string_view aName) {
  // Iterative: a path of many parts must not grow the stack.
  for (;;) {
    TPathSplit split = SplitAtSeparator(aName);
    if (split.First != u"." && split.First != u"..") {
      uint32_t result = nxCheckIdentifier(split.First, nxeInvalidTableName, false, true);
      if (result != 0) return result;
    }
    if (!split.HasRest) return 0;
    aName = split.Rest;
  }
}

uint32_t nxValidateTablePath(std::u16string_view aPath, bool aEmptyIsMissing, bool aAllowSystem) {
  TPathSplit split = SplitAtSeparator(aPath);
  uint32_t result = nxValidateTableName(split.First, false, aAllowSystem);
  if (result == 0 && split.HasRest) result = nxValidateRelativeTableName(split.Rest);
  if (result != 0 && aEmptyIsMissing && aPath.empty()) result = nxeTableDoesNotExist;
  return result;
}

uint32_t nxValidateAliasName(std::u16string_view aName, bool aEmptyIsMissing) {
  uint32_t result = nxCheckIdentifier(aName, nxeInvalidAliasName, false, true);
  if (result != 0 && aEmptyIsMissing && aName.empty()) result = nxeUnknownDatabase;
  return result;
}

uint32_t nxValidateName(std::u16string_view aName, bool aEmptyIsMissing) {
  uint32_t result = nxCheckIdentifier(aName, nxeInvalidName, false, true);
  if (result != 0 && aEmptyIsMissing && aName.empty()) result = nxeObjectNotFound;
  return result;
}

}  // namespace revurov
