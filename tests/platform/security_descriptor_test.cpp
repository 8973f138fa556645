#include "platform/security_descriptor.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "platform/os_error.h"
#include "platform/text.h"

namespace revurov::platform {
namespace {

constexpr TPeerIdentity kServer{1000, 1000};
constexpr TPeerIdentity kRoot{0, 0};
constexpr TPeerIdentity kOwner{1000, 1000};
constexpr TPeerIdentity kOther{1001, 1001};
constexpr TPeerIdentity kOtherInOwnersGroup{1002, 1000};

TEST(SecurityDescriptor, TextsAreReadOrRefused) {
  const struct {
    const char16_t* text;
    bool valid;
  } rows[] = {
      {u"D:(A;;GA;;;WD)", true},
      {u"O:BAG:SYD:PAI(A;OICI;FA;;;SY)(A;;GRGW;;;BA)(D;;GA;;;AN)", true},
      {u"D:(A;;0x12019f;;;S-1-22-1-1000)", true},
      {u"D:(A;;1180063;;;S-1-5-18)", true},
      {u"D:", true},
      {u"D:NO_ACCESS_CONTROL", true},
      {u"S:(AU;SAFA;GA;;;WD)D:(A;;GA;;;WD)", true},
      {u"D:(OA;;GA;01234567-89ab-cdef-0123-456789abcdef;;WD)", true},
      {u"O:S-1-5-21-1-2-3-500", true},
      {u"", false},
      {u"X:(A;;GA;;;WD)", false},
      {u"D:(A;;GA;;;WD", false},                 // unclosed
      {u"D:(A;;GA;;WD)", false},                 // five fields
      {u"D:(A;;GA;;;WD;x)", false},              // seven
      {u"D:(Q;;GA;;;WD)", false},                // no such type
      {u"D:(AU;;GA;;;WD)", false},               // an audit entry in the DACL
      {u"S:(A;;GA;;;WD)", false},                // an access entry in the SACL
      {u"D:(A;;GQ;;;WD)", false},                // no such right
      {u"D:(A;;0x1ffffffff;;;WD)", false},       // more than 32 bits
      {u"D:(A;XX;GA;;;WD)", false},              // no such flag
      {u"D:(A;;GA;;;QQ)", false},                // no such alias
      {u"D:(A;;GA;;;S-1)", false},               // no sub-authority
      {u"D:(A;;GA;;;S-1-5-x)", false},
      {u"D:(A;;GA;nonsense;;WD)", false},
      {u"D:(A;;GA;;;WD)D:(A;;GA;;;WD)", false},  // a component twice
      {u"D:NO_ACCESS_CONTROL(A;;GA;;;WD)", false},
      {u"D:Q(A;;GA;;;WD)", false},
      {u"D:(A;;GA;;;WD) ", false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(Utf16ToUtf8(row.text));
    TSecurityDescriptor sd;
    errno = 0;
    EXPECT_EQ(TSecurityDescriptor::Parse(row.text, sd), row.valid);
    if (!row.valid) {
      EXPECT_EQ(GetLastOSError(), uint32_t(EINVAL));
    }
  }
}

TEST(SecurityDescriptor, PeersGetReadAndWriteAsTheEntriesSayInTheirOrder) {
  const struct {
    const char16_t* text;
    TPeerIdentity peer;
    bool allowed;
  } rows[] = {
      {u"D:(A;;GA;;;WD)", kOther, true},
      {u"D:(A;;FA;;;AU)", kOther, true},
      {u"D:", kRoot, false},  // an empty list admits nobody
      {u"D:NO_ACCESS_CONTROL", kOther, true},
      {u"O:BAG:BA", kOther, true},  // no list at all
      {u"D:(A;;GR;;;WD)", kOther, false},  // read alone is not enough
      {u"D:(A;;GR;;;WD)(A;;GW;;;WD)", kOther, true},
      {u"D:(A;;FRFW;;;WD)", kOther, true},
      {u"D:(A;;0x12019f;;;WD)", kOther, true},
      {u"D:(A;;0x120089;;;WD)", kOther, false},
      {u"D:(D;;GA;;;WD)(A;;GA;;;WD)", kOwner, false},  // deny first
      {u"D:(A;;GA;;;WD)(D;;GA;;;WD)", kOwner, true},   // granted before the deny
      {u"D:(D;;GW;;;S-1-22-1-1001)(A;;GA;;;WD)", kOther, false},
      {u"D:(D;;GW;;;S-1-22-1-1001)(A;;GA;;;WD)", kOwner, true},
      {u"D:(D;;SD;;;WD)(A;;GA;;;WD)", kOther, true},   // denies nothing wanted
      {u"D:(D;;RC;;;WD)(A;;GA;;;WD)", kOther, false},  // reading needs read-control
      {u"D:(A;;GA;;;SY)", kRoot, true},
      {u"D:(A;;GA;;;BA)", kOther, false},
      {u"D:(A;;GA;;;CO)", kOwner, true},
      {u"D:(A;;GA;;;OW)", kOther, false},
      {u"D:(A;;GA;;;CG)", kOtherInOwnersGroup, true},
      {u"D:(A;;GA;;;S-1-22-2-1001)", kOther, true},
      {u"D:(A;;GA;;;S-1-22-2-1001)", kOwner, false},
      {u"D:(A;;GA;;;AN)", kOther, false},
      {u"D:(A;;GA;;;S-1-5-21-1-2-3-500)", kRoot, false},  // a domain account: nobody here
      {u"D:(A;IO;GA;;;WD)", kOther, false},               // for children only
      {u"D:(OA;;GA;01234567-89ab-cdef-0123-456789abcdef;;WD)", kOther, false},
      {u"D:(OA;;GA;;;WD)", kOther, true},
      {u"S:(AU;FA;GA;;;WD)", kOther, true},  // a SACL alone leaves no list
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(Utf16ToUtf8(row.text) + " peer " + std::to_string(row.peer.uid));
    TSecurityDescriptor sd;
    ASSERT_TRUE(TSecurityDescriptor::Parse(row.text, sd));
    EXPECT_EQ(sd.AllowsReadWrite(row.peer, kServer), row.allowed);
  }
}

TEST(SecurityDescriptor, TheDefaultAdmitsEverybodyAndAFailedParseLeavesTheTargetAlone) {
  TSecurityDescriptor sd;
  EXPECT_TRUE(sd.AllowsReadWrite(kOther, kServer));
  ASSERT_TRUE(TSecurityDescriptor::Parse(u"D:(A;;GA;;;SY)", sd));
  EXPECT_FALSE(sd.AllowsReadWrite(kOther, kServer));
  EXPECT_FALSE(TSecurityDescriptor::Parse(u"D:(A;;GA;;;WD", sd));
  EXPECT_FALSE(sd.AllowsReadWrite(kOther, kServer));
  EXPECT_TRUE(sd.AllowsReadWrite(kRoot, kServer));
}

}  // namespace
}  // namespace revurov::platform
