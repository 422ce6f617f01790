// The access check the I/O manager makes on opens: descriptors as SDDL
// writes them, ACEs in order, deny-only groups, mandatory integrity, restricted
// tokens, and what a process can do to its own token.
#include "kernel/security.h"

#include <gtest/gtest.h>

namespace {

namespace sec = korvel::sim::security;

TEST(Sddl, ParsesWhatDescriptorsWriteAndRefusesTheRest) {
  const struct {
    const char* text;
    bool ok;
  } cases[] = {
      {"D:P(A;;GA;;;SY)(A;;GRGW;;;IU)S:(ML;;NW;;;ME)", true},
      {"O:BAG:SYD:(D;;0x2;;;NU)(A;;0x120089;;;S-1-5-21-1-2-3-1001)", true},
      {"D:", true},
      {"", true},
      {"D:(A;;GA;;;XX)", false},                   // no such alias
      {"D:(A;;GQ;;;SY)", false},                   // no such right
      {"D:(A;;GA;;SY)", false},                    // five fields
      {"D:(A;;GA;;;SY", false},                    // unclosed
      {"D:(AU;;GA;;;SY)", false},                  // audit ACE in a DACL
      {"S:(ML;;NW;;;SY)", false},                  // a label that is not S-1-16-x
      {"S:(ML;;NW;;;S-1-16-99999999999)", false},  // a RID past 32 bits
      {"S:(ML;;NW;;;S-1-16-4096-1)", false},       // two sub-authorities
      {"D:(A;;GA;{01234567-89ab-cdef-0123-456789abcdef};;SY)", false},
      {"D:(A;;GA;;;S-1-5-)", false},
      {"D:(A;;GA;;;SY)D:(A;;GA;;;BA)", false},
  };
  for (const auto& c : cases) {
    sec::SecurityDescriptor sd;
    std::string error;
    EXPECT_EQ(c.ok, sec::parse_sddl(c.text, &sd, &error)) << c.text << ": " << error;
  }
}

TEST(AccessCheck, GrantsWhatTheDescriptorGivesTheTokenAndNothingElse) {
  const sec::Token user = sec::console_user();
  sec::Token deny_only = user;
  for (auto& g : deny_only.groups)
    if (g.sid == sec::kInteractive) g.enabled = false;
  const sec::Token low = sec::lowered(user, {sec::kIntegrityLow, {}, {}});
  const sec::Token restricted = sec::lowered(user, {sec::kIntegritySystem, {}, {sec::kRestrictedCode}});
  const sec::Token network = sec::network_user(1002, 0x4001);
  const sec::AccessMask r = sec::kGenericRead, w = sec::kGenericWrite;
  const char* quenby = "D:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;GRGW;;;LS)(A;;GRGW;;;IU)S:(ML;;NW;;;ME)";
  const struct {
    const char* sddl;
    const sec::Token* token;
    sec::AccessMask desired;
    bool granted;
  } cases[] = {
      {quenby, &user, r | w, true},
      {quenby, &user, sec::kWriteDac, false},        // read and write, no more
      {quenby, &network, sec::kSynchronize, false},  // no Interactive SID: nothing at all
      {quenby, &deny_only, r, false},                // a deny-only group opens nothing
      {quenby, &low, r, true},                       // below the label: reading stays
      {quenby, &low, w, false},                      // ... writing goes
      {quenby, &low, sec::kFileWriteData, false},
      {quenby, &restricted, r, false},  // its restricting SIDs are granted nothing
      {"D:(D;;0x116;;;IU)(A;;GA;;;WD)", &user, r, true},
      {"D:(D;;0x116;;;IU)(A;;GA;;;WD)", &user, w, false},       // the deny comes first
      {"D:(A;;GA;;;WD)(D;;0x116;;;IU)", &user, w, true},        // ... or decides nothing granted
      {"D:(D;;0x116;;;IU)(A;;GA;;;WD)", &deny_only, w, false},  // deny ACEs match deny-only groups
      {"D:", &user, sec::kSynchronize, false},                  // an empty DACL grants nothing
      {"", &user, r | w | sec::kWriteDac, true},                // no DACL grants everything
      {"S:(ML;;NW;;;HI)", &user, w, false},                     // a high label keeps medium writers out
      {"S:(ML;;NR;;;HI)", &user, w, true},
      {"S:(ML;;NR;;;HI)", &user, sec::kFileReadData, false},
  };
  for (const auto& c : cases) {
    sec::SecurityDescriptor sd;
    std::string error;
    ASSERT_TRUE(sec::parse_sddl(c.sddl, &sd, &error)) << c.sddl << ": " << error;
    sec::AccessMask granted = 0;
    EXPECT_EQ(c.granted, sec::access_check(sd, *c.token, c.desired, &granted))
        << c.sddl << " for " << c.token->user << " asking " << std::hex << c.desired;
  }
  // MAXIMUM_ALLOWED: as much as is granted, and never above the label.
  sec::SecurityDescriptor sd;
  std::string error;
  ASSERT_TRUE(sec::parse_sddl(quenby, &sd, &error));
  sec::AccessMask granted = 0;
  ASSERT_TRUE(sec::access_check(sd, low, sec::kMaximumAllowed, &granted));
  EXPECT_EQ(sec::kFileGenericRead, granted);
}

TEST(Tokens, AProcessCanOnlyLowerItsOwn) {
  const sec::Token low = sec::lowered(sec::console_user(), {sec::kIntegrityLow, {}, {}});
  EXPECT_EQ(sec::kIntegrityLow, sec::lowered(low, {sec::kIntegritySystem, {}, {}}).integrity);
  const sec::Token once = sec::lowered(sec::console_user(), {sec::kIntegritySystem, {}, {sec::kEveryone}});
  const sec::Token twice = sec::lowered(once, {sec::kIntegritySystem, {}, {sec::kInteractive}});
  EXPECT_EQ(std::vector<std::string>{sec::kRestrictedCode}, twice.restricting);  // never more than before
  const sec::Token denied =
      sec::lowered(sec::console_user(), {sec::kIntegritySystem, {sec::kInteractive}, {}});
  const sec::Token again = sec::lowered(denied, {});
  for (const auto& g : again.groups) EXPECT_TRUE(g.sid != sec::kInteractive || !g.enabled);
}

}  // namespace
