#include "platform/security_descriptor.h"

#include <unistd.h>

#include <cerrno>
#include <string>

namespace revurov::platform {

namespace {

using TTrustee = TSecurityDescriptor::TTrustee;

// Generic rights as a pipe maps them.
constexpr uint32_t kGenericRead = 0x80000000u, kGenericWrite = 0x40000000u, kGenericExecute = 0x20000000u,
                   kGenericAll = 0x10000000u;
constexpr uint32_t kFileRead = 0x120089u, kFileWrite = 0x120116u, kFileExecute = 0x1200A0u, kFileAll = 0x1F01FFu;
constexpr uint32_t kWanted = kFileRead | kFileWrite;

uint32_t MapGeneric(uint32_t aRights) noexcept {
  uint32_t rights = aRights & ~(kGenericRead | kGenericWrite | kGenericExecute | kGenericAll);
  if (aRights & kGenericRead) rights |= kFileRead;
  if (aRights & kGenericWrite) rights |= kFileWrite;
  if (aRights & kGenericExecute) rights |= kFileExecute;
  if (aRights & kGenericAll) rights |= kFileAll;
  return rights;
}

struct TCode {
  char16_t text[3];
  uint32_t value;
};

constexpr TCode kRights[] = {
    {u"GA", kGenericAll}, {u"GR", kGenericRead}, {u"GW", kGenericWrite}, {u"GX", kGenericExecute},
    {u"RC", 0x20000},     {u"SD", 0x10000},      {u"WD", 0x40000},       {u"WO", 0x80000},
    {u"RP", 0x10},        {u"WP", 0x20},         {u"CC", 0x1},           {u"DC", 0x2},
    {u"LC", 0x4},         {u"SW", 0x8},          {u"LO", 0x80},          {u"DT", 0x40},
    {u"CR", 0x100},       {u"FA", kFileAll},     {u"FR", kFileRead},     {u"FW", kFileWrite},
    {u"FX", kFileExecute}, {u"KA", 0xF003F},     {u"KR", 0x20019},       {u"KW", 0x20006},
    {u"KX", 0x20019},     {u"NR", 0x1},          {u"NW", 0x2},           {u"NX", 0x4},
};

constexpr const char16_t* kAceFlags[] = {u"CI", u"OI", u"NP", u"IO", u"ID", u"SA", u"FA", u"TP", u"CR"};
constexpr uint32_t kInheritOnly = 1u << 3;  // index of "IO"

struct TAlias {
  char16_t text[3];
  TTrustee trustee;
};

// Aliases a descriptor may name; those not standing for a local user match
// nobody.
constexpr TAlias kAliases[] = {
    {u"WD", TTrustee::Everyone},  {u"AU", TTrustee::Everyone},   {u"IU", TTrustee::Everyone},
    {u"SY", TTrustee::Superuser}, {u"BA", TTrustee::Superuser},  {u"CO", TTrustee::Owner},
    {u"OW", TTrustee::Owner},     {u"CG", TTrustee::OwnerGroup}, {u"AN", TTrustee::Nobody},
    {u"AO", TTrustee::Nobody},    {u"BG", TTrustee::Nobody},     {u"BO", TTrustee::Nobody},
    {u"BU", TTrustee::Nobody},    {u"CA", TTrustee::Nobody},     {u"DA", TTrustee::Nobody},
    {u"DC", TTrustee::Nobody},    {u"DD", TTrustee::Nobody},     {u"DG", TTrustee::Nobody},
    {u"DU", TTrustee::Nobody},    {u"EA", TTrustee::Nobody},     {u"LA", TTrustee::Nobody},
    {u"LG", TTrustee::Nobody},    {u"LS", TTrustee::Nobody},     {u"NO", TTrustee::Nobody},
    {u"NS", TTrustee::Nobody},    {u"NU", TTrustee::Nobody},     {u"PA", TTrustee::Nobody},
    {u"PO", TTrustee::Nobody},    {u"PS", TTrustee::Nobody},     {u"PU", TTrustee::Nobody},
    {u"RC", TTrustee::Nobody},    {u"RD", TTrustee::Nobody},     {u"RE", TTrustee::Nobody},
    {u"RU", TTrustee::Nobody},    {u"SA", TTrustee::Nobody},     {u"SO", TTrustee::Nobody},
    {u"SU", TTrustee::Nobody},    {u"LW", TTrustee::Nobody},     {u"ME", TTrustee::Nobody},
    {u"HI", TTrustee::Nobody},    {u"SI", TTrustee::Nobody},
};

bool IsDigit(char16_t c) noexcept { return c >= u'0' && c <= u'9'; }
bool IsHexDigit(char16_t c) noexcept {
  return IsDigit(c) || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F');
}

// A number in decimal or, behind "0x", hexadecimal; at most 32 bits
// (aWide: 48, for an identifier authority).
bool ParseNumber(std::u16string_view aText, uint64_t& aValue, bool aWide = false) noexcept {
  unsigned base = 10;
  if (aText.size() > 2 && aText[0] == u'0' && (aText[1] == u'x' || aText[1] == u'X')) {
    base = 16;
    aText.remove_prefix(2);
  }
  if (aText.empty()) return false;
  const uint64_t limit = aWide ? 0xFFFFFFFFFFFFull : 0xFFFFFFFFull;
  uint64_t value = 0;
  for (char16_t c : aText) {
    unsigned digit;
    if (IsDigit(c)) {
      digit = unsigned(c - u'0');
    } else if (base == 16 && IsHexDigit(c)) {
      digit = unsigned((c | 0x20) - u'a' + 10);
    } else {
      return false;
    }
    value = value * base + digit;
    if (value > limit) return false;
  }
  aValue = value;
  return true;
}

// "S-1-<authority>-<sub>…": the local meaning of the SIDs we know.
bool ParseSidLiteral(std::u16string_view aText, TSecurityDescriptor::TEntry& aEntry) {
  if (aText.size() < 4 || aText.substr(0, 4) != u"S-1-") return false;
  std::vector<uint64_t> parts;
  aText.remove_prefix(4);
  for (;;) {
    const size_t dash = aText.find(u'-');
    uint64_t value = 0;
    if (!ParseNumber(aText.substr(0, dash), value, parts.empty())) return false;
    parts.push_back(value);
    if (dash == std::u16string_view::npos) break;
    aText.remove_prefix(dash + 1);
  }
  // An authority and one to fifteen sub-authorities.
  if (parts.size() < 2 || parts.size() > 16) return false;
  auto is = [&](std::initializer_list<uint64_t> aSid) {
    return parts.size() == aSid.size() && std::equal(aSid.begin(), aSid.end(), parts.begin());
  };
  aEntry.trustee = TTrustee::Nobody;
  if (is({1, 0}) || is({5, 11}) || is({5, 4})) {
    aEntry.trustee = TTrustee::Everyone;
  } else if (is({5, 18}) || is({5, 32, 544})) {
    aEntry.trustee = TTrustee::Superuser;
  } else if (is({3, 0}) || is({3, 4})) {
    aEntry.trustee = TTrustee::Owner;
  } else if (is({3, 1})) {
    aEntry.trustee = TTrustee::OwnerGroup;
  } else if (parts.size() == 3 && parts[0] == 22 && (parts[1] == 1 || parts[1] == 2)) {
    // Unix users and groups as the SID world names them.
    aEntry.trustee = parts[1] == 1 ? TTrustee::User : TTrustee::Group;
    aEntry.id = static_cast<uint32_t>(parts[2]);
  }
  return true;
}

bool ParseTrustee(std::u16string_view aText, TSecurityDescriptor::TEntry& aEntry) {
  if (aText.size() == 2) {
    for (const TAlias& alias : kAliases)
      if (aText == alias.text) {
        aEntry.trustee = alias.trustee;
        return true;
      }
    return false;
  }
  return ParseSidLiteral(aText, aEntry);
}

bool ParseRights(std::u16string_view aText, uint32_t& aRights) {
  if (aText.empty()) {
    aRights = 0;
    return true;
  }
  if (IsDigit(aText[0])) {
    uint64_t value = 0;
    if (!ParseNumber(aText, value)) return false;
    aRights = static_cast<uint32_t>(value);
    return true;
  }
  if (aText.size() % 2) return false;
  uint32_t rights = 0;
  for (size_t i = 0; i < aText.size(); i += 2) {
    const std::u16string_view code = aText.substr(i, 2);
    bool known = false;
    for (const TCode& right : kRights)
      if (code == right.text) {
        rights |= right.value;
        known = true;
        break;
      }
    if (!known) return false;
  }
  aRights = rights;
  return true;
}

bool ParseAceFlags(std::u16string_view aText, uint32_t& aFlags) {
  if (aText.size() % 2) return false;
  aFlags = 0;
  for (size_t i = 0; i < aText.size(); i += 2) {
    const std::u16string_view code = aText.substr(i, 2);
    bool known = false;
    for (size_t f = 0; f < std::size(kAceFlags); ++f)
      if (code == kAceFlags[f]) {
        aFlags |= 1u << f;
        known = true;
        break;
      }
    if (!known) return false;
  }
  return true;
}

bool ParseGuid(std::u16string_view aText) {
  if (aText.empty()) return true;
  if (aText.size() != 36) return false;
  for (size_t i = 0; i < aText.size(); ++i) {
    const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
    if (dash ? aText[i] != u'-' : !IsHexDigit(aText[i])) return false;
  }
  return true;
}

// One ACE's inside. aApplies: false for an entry that does not bear on
// opening the pipe (audit entries, inherit-only, another object type).
bool ParseAce(std::u16string_view aText, bool aDacl, TSecurityDescriptor::TEntry& aEntry, bool& aApplies) {
  std::u16string_view fields[6];
  for (int i = 0; i < 6; ++i) {
    const size_t semicolon = aText.find(u';');
    if ((semicolon == std::u16string_view::npos) != (i == 5)) return false;
    fields[i] = aText.substr(0, semicolon);
    if (i < 5) aText.remove_prefix(semicolon + 1);
  }
  const std::u16string_view type = fields[0];
  const bool allow = type == u"A" || type == u"OA";
  const bool deny = type == u"D" || type == u"OD";
  const bool audit = type == u"AU" || type == u"AL" || type == u"OU" || type == u"OL" || type == u"ML";
  if (aDacl ? !(allow || deny) : !audit) return false;
  uint32_t flags = 0;
  if (!ParseAceFlags(fields[1], flags) || !ParseRights(fields[2], aEntry.rights) || !ParseGuid(fields[3]) ||
      !ParseGuid(fields[4]) || !ParseTrustee(fields[5], aEntry))
    return false;
  aEntry.allow = allow;
  aEntry.rights = MapGeneric(aEntry.rights);
  aApplies = aDacl && !(flags & kInheritOnly) && fields[3].empty();
  return true;
}

bool IsComponentStart(std::u16string_view aText, size_t aPos) noexcept {
  if (aPos + 1 >= aText.size() || aText[aPos + 1] != u':') return false;
  const char16_t c = aText[aPos];
  return c == u'O' || c == u'G' || c == u'D' || c == u'S';
}

// The flags and ACEs of a DACL or SACL, up to the next component.
bool ParseAcl(std::u16string_view& aText, bool aDacl, bool& aPresent, std::vector<TSecurityDescriptor::TEntry>& aList) {
  size_t flagsEnd = 0;
  while (flagsEnd < aText.size() && aText[flagsEnd] != u'(' && !IsComponentStart(aText, flagsEnd)) ++flagsEnd;
  std::u16string_view flags = aText.substr(0, flagsEnd);
  aPresent = true;
  while (!flags.empty()) {
    if (flags.substr(0, 17) == u"NO_ACCESS_CONTROL") {
      aPresent = false;
      flags.remove_prefix(17);
    } else if (flags[0] == u'P') {
      flags.remove_prefix(1);
    } else if (flags.substr(0, 2) == u"AI" || flags.substr(0, 2) == u"AR") {
      flags.remove_prefix(2);
    } else {
      return false;
    }
  }
  aText.remove_prefix(flagsEnd);
  while (!aText.empty() && aText[0] == u'(') {
    const size_t close = aText.find(u')');
    if (close == std::u16string_view::npos) return false;
    TSecurityDescriptor::TEntry entry;
    bool applies = false;
    if (!ParseAce(aText.substr(1, close - 1), aDacl, entry, applies)) return false;
    if (applies) aList.push_back(entry);
    aText.remove_prefix(close + 1);
  }
  // ACEs of a "no access control" list would mean nothing.
  return aPresent || aList.empty();
}

bool Matches(const TSecurityDescriptor::TEntry& aEntry, const TPeerIdentity& aPeer,
             const TPeerIdentity& aServer) noexcept {
  switch (aEntry.trustee) {
    case TTrustee::Everyone:
      return true;
    case TTrustee::Superuser:
      return aPeer.uid == 0;
    case TTrustee::Owner:
      return aPeer.uid == aServer.uid;
    case TTrustee::OwnerGroup:
      return aPeer.gid == aServer.gid;
    case TTrustee::User:
      return aPeer.uid == aEntry.id;
    case TTrustee::Group:
      return aPeer.gid == aEntry.id;
    case TTrustee::Nobody:
      break;
  }
  return false;
}

}  // namespace

TSecurityDescriptor::TSecurityDescriptor() : sdDacl{TEntry{true, kFileAll, TTrustee::Everyone, 0}} {}

bool TSecurityDescriptor::Parse(std::u16string_view aText, TSecurityDescriptor& aResult) {
  TSecurityDescriptor result;
  result.sdHasDacl = false;
  result.sdDacl.clear();
  bool seen[4] = {};
  std::vector<TEntry> sacl;
  bool ok = !aText.empty();
  while (ok && !aText.empty()) {
    if (!IsComponentStart(aText, 0)) {
      ok = false;
      break;
    }
    const char16_t kind = aText[0];
    bool& once = seen[kind == u'O' ? 0 : kind == u'G' ? 1 : kind == u'D' ? 2 : 3];
    if (once) {
      ok = false;
      break;
    }
    once = true;
    aText.remove_prefix(2);
    if (kind == u'O' || kind == u'G') {
      size_t end = 0;
      while (end < aText.size() && !IsComponentStart(aText, end)) ++end;
      TEntry owner;
      ok = ParseTrustee(aText.substr(0, end), owner);
      aText.remove_prefix(end);
    } else if (kind == u'D') {
      ok = ParseAcl(aText, true, result.sdHasDacl, result.sdDacl);
    } else {
      bool present = false;
      ok = ParseAcl(aText, false, present, sacl);
    }
  }
  if (!ok) {
    errno = EINVAL;
    return false;
  }
  aResult = std::move(result);
  return true;
}

bool TSecurityDescriptor::AllowsReadWrite(const TPeerIdentity& aPeer, const TPeerIdentity& aServer) const noexcept {
  if (!sdHasDacl) return true;
  uint32_t missing = kWanted;
  for (const TEntry& entry : sdDacl) {
    if (!Matches(entry, aPeer, aServer)) continue;
    if (!entry.allow) {
      if (entry.rights & missing) return false;
    } else {
      missing &= ~entry.rights;
      if (!missing) return true;
    }
  }
  return false;
}

TPeerIdentity CurrentIdentity() noexcept { return TPeerIdentity{uint32_t(geteuid()), uint32_t(getegid())}; }

}  // namespace revurov::platform
