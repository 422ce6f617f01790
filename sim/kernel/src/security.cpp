// Tokens, SDDL and the access check (see security.h for the sources).
#include "kernel/security.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstring>

namespace korvel::sim::security {
namespace {

// Our own choice: the machine's account domain (S-1-5-21-x-y-z, "Well-known
// SIDs") that the simulated users belong to.
const std::string kUserPrefix = "S-1-5-21-1004336348-1177238915-682003330-";

// Source: "Well-known SIDs" (Microsoft Learn): a logon session's SID is
// S-1-5-5-X-Y.
std::string logon_sid(uint64_t logon) {
  return "S-1-5-5-" + std::to_string(logon >> 32) + "-" + std::to_string(logon & 0xFFFFFFFFu);
}

struct Alias {
  const char* name;
  const char* sid;
};

// "SID Strings": the aliases our descriptors may use.
constexpr Alias kAliases[] = {
    {"WD", "S-1-1-0"},      {"NU", "S-1-5-2"},     {"IU", "S-1-5-4"},      {"SU", "S-1-5-6"},
    {"AN", "S-1-5-7"},      {"AU", "S-1-5-11"},    {"RC", "S-1-5-12"},     {"SY", "S-1-5-18"},
    {"LS", "S-1-5-19"},     {"NS", "S-1-5-20"},    {"BA", "S-1-5-32-544"}, {"BU", "S-1-5-32-545"},
    {"BG", "S-1-5-32-546"}, {"OW", "S-1-3-4"},     {"AC", "S-1-15-2-1"},   {"LW", "S-1-16-4096"},
    {"ME", "S-1-16-8192"},  {"MP", "S-1-16-8448"}, {"HI", "S-1-16-12288"}, {"SI", "S-1-16-16384"},
};

struct Right {
  const char* name;
  AccessMask mask;
};

// "ACE Strings": rights codes (generic, standard, file) and the mandatory
// label's policy codes.
constexpr Right kRights[] = {
    {"GA", kGenericAll},
    {"GR", kGenericRead},
    {"GW", kGenericWrite},
    {"GX", kGenericExecute},
    {"RC", kReadControl},
    {"SD", kDelete},
    {"WD", kWriteDac},
    {"WO", kWriteOwner},
    {"FA", kFileAllAccess},
    {"FR", kFileGenericRead},
    {"FW", kFileGenericWrite},
    {"FX", kFileGenericExecute},
    {"NW", 1},
    {"NR", 2},
    {"NX", 4},
};

bool is_sid_text(const std::string& s) {
  if (s.size() < 5 || s.compare(0, 4, "S-1-") != 0) return false;
  bool digit = false;
  for (size_t i = 4; i < s.size(); ++i) {
    if (std::isdigit(static_cast<unsigned char>(s[i]))) {
      digit = true;
    } else if (s[i] == '-' && digit) {
      digit = false;
    } else {
      return false;
    }
  }
  return digit;
}

bool parse_sid(const std::string& s, std::string* sid) {
  for (const Alias& a : kAliases) {
    if (s == a.name) {
      *sid = a.sid;
      return true;
    }
  }
  if (!is_sid_text(s)) return false;
  *sid = s;
  return true;
}

bool parse_rights(const std::string& s, AccessMask* mask) {
  *mask = 0;
  if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
    if (s.size() > 10) return false;
    for (size_t i = 2; i < s.size(); ++i) {
      const char c = char(std::tolower(static_cast<unsigned char>(s[i])));
      if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
      *mask = *mask * 16 + AccessMask(c <= '9' ? c - '0' : c - 'a' + 10);
    }
    return true;
  }
  if (s.empty() || s.size() % 2 != 0) return false;
  for (size_t i = 0; i < s.size(); i += 2) {
    const std::string code = s.substr(i, 2);
    const Right* r =
        std::find_if(std::begin(kRights), std::end(kRights), [&](const Right& x) { return code == x.name; });
    if (r == std::end(kRights)) return false;
    *mask |= r->mask;
  }
  return true;
}

std::vector<std::string> split(const std::string& s, char sep) {
  std::vector<std::string> out(1);
  for (char c : s) {
    if (c == sep) {
      out.emplace_back();
    } else {
      out.back() += c;
    }
  }
  return out;
}

// The ACEs of one part ("(...)(...)"), from `at` to the next part or the end.
bool parse_aces(const std::string& t, size_t* at, bool sacl, SecurityDescriptor* out, std::string* error) {
  while (*at < t.size() && t[*at] != '(') {
    // The part's flags (P, AI, AR ...): how the ACL inherits, nothing here
    // ("Security Descriptor String Format"; ignoring them is our own choice).
    if (!std::isupper(static_cast<unsigned char>(t[*at]))) break;
    if (*at + 1 < t.size() && t[*at + 1] == ':') break;  // the next part
    ++*at;
  }
  while (*at < t.size() && t[*at] == '(') {
    const size_t end = t.find(')', *at);
    if (end == std::string::npos) {
      *error = "an ACE without its closing parenthesis";
      return false;
    }
    const std::vector<std::string> f = split(t.substr(*at + 1, end - *at - 1), ';');
    *at = end + 1;
    if (f.size() != 6 || !f[3].empty() || !f[4].empty()) {
      // Source: "ACE Strings": six fields; object ACEs are refused (our own
      // choice: no descriptor here uses one).
      *error = "an ACE other than of six fields without object types";
      return false;
    }
    AccessMask mask = 0;
    std::string sid;
    if (!parse_rights(f[2], &mask) || !parse_sid(f[5], &sid)) {
      *error = "an ACE's rights or SID: \"" + f[2] + "\", \"" + f[5] + "\"";
      return false;
    }
    // Our own choice: a SACL may hold only the mandatory label ("ACE Strings":
    // ML, its policy NW, NR, NX).
    if (sacl) {
      // A label SID is S-1-16-RID with one 32-bit sub-authority ("Mandatory
      // Integrity Control"); anything else is refused, not cut short.
      uint32_t rid = 0;
      const char* end = sid.data() + sid.size();
      const bool labelled = sid.compare(0, 7, "S-1-16-") == 0;
      const auto parsed = labelled ? std::from_chars(sid.data() + 7, end, rid) : std::from_chars_result{};
      const bool rid_ok = labelled && sid.size() > 7 && parsed.ec == std::errc() && parsed.ptr == end;
      if (f[0] != "ML" || !rid_ok || mask == 0 || mask > 7) {
        *error = "a SACL ACE other than a mandatory label";
        return false;
      }
      out->label = rid;
      out->label_policy = mask;
      continue;
    }
    Ace ace;
    if (f[0] == "A") {
      ace.type = Ace::Type::Allow;
    } else if (f[0] == "D") {
      ace.type = Ace::Type::Deny;
    } else {
      *error = "a DACL ACE of type \"" + f[0] + "\"";
      return false;
    }
    ace.mask = map_generic(mask);
    ace.sid = sid;
    out->dacl.push_back(ace);
  }
  return true;
}

bool has_sid(const std::vector<std::string>& sids, const std::string& sid) {
  return std::find(sids.begin(), sids.end(), sid) != sids.end();
}

// What a DACL grants to the SIDs `allow` (and denies to `allow` and `deny`):
// ACEs in order, each deciding only the rights no earlier ACE decided ("How
// DACLs Control Access to an Object").
AccessMask dacl_grant(const SecurityDescriptor& sd, const std::vector<std::string>& allow,
                      const std::vector<std::string>& deny) {
  // No DACL: full access for everyone (same page).
  if (!sd.has_dacl) return kFileAllAccess | kWriteDac | kWriteOwner;
  AccessMask granted = 0, denied = 0;
  for (const Ace& ace : sd.dacl) {
    // A deny-only group matches deny ACEs only ("CreateRestrictedToken":
    // SidsToDisable).
    if (ace.type == Ace::Type::Allow && has_sid(allow, ace.sid)) {
      granted |= ace.mask & ~denied;
    } else if (ace.type == Ace::Type::Deny && (has_sid(allow, ace.sid) || has_sid(deny, ace.sid))) {
      denied |= ace.mask & ~granted;
    }
  }
  return granted;
}

Token user_token(const std::string& user, std::vector<std::string> groups, uint32_t session, uint64_t logon) {
  Token t;
  t.user = user;
  groups.push_back(logon_sid(logon));
  for (const std::string& g : groups) t.groups.push_back({g, true});
  t.session = session;
  t.logon = logon;
  t.integrity = kIntegrityMedium;
  return t;
}

}  // namespace

// Source: "File Security and Access Rights" (Microsoft Learn): the file
// object's generic mapping.
AccessMask map_generic(AccessMask mask) {
  AccessMask out = mask & ~(kGenericAll | kGenericExecute | kGenericWrite | kGenericRead);
  if (mask & kGenericRead) out |= kFileGenericRead;
  if (mask & kGenericWrite) out |= kFileGenericWrite;
  if (mask & kGenericExecute) out |= kFileGenericExecute;
  if (mask & kGenericAll) out |= kFileAllAccess;
  return out;
}

Token console_user(uint32_t user, uint64_t logon) {
  return interactive_user(user, 1, logon);
}

// The groups of an interactive and of a network logon: "Well-known SIDs"
// (Interactive, Network, Authenticated Users, Users); which logon gets which
// is our own model of a standard user's token.
Token interactive_user(uint32_t user, uint32_t session, uint64_t logon) {
  return user_token(kUserPrefix + std::to_string(user),
                    {kEveryone, kLocal, kInteractive, kAuthenticatedUsers, kUsers}, session, logon);
}

Token network_user(uint32_t user, uint64_t logon) {
  return user_token(kUserPrefix + std::to_string(user), {kEveryone, kNetwork, kAuthenticatedUsers, kUsers}, 0,
                    logon);
}

Token elevated_admin(uint32_t user, uint64_t logon) {
  Token t =
      user_token(kUserPrefix + std::to_string(user),
                 {kEveryone, kLocal, kInteractive, kAuthenticatedUsers, kUsers, kAdministrators}, 1, logon);
  t.integrity = kIntegrityHigh;
  return t;
}

Token service(const std::string& account) {
  Token t;
  t.user = account;
  t.session = 0;
  t.integrity = kIntegritySystem;
  // Source: winnt.h: SYSTEM_LUID 0x3E7, LOCALSERVICE_LUID 0x3E5,
  // NETWORKSERVICE_LUID 0x3E4. The groups are our own model of a service's
  // token.
  t.logon = account == kLocalSystem ? 0x3E7 : account == kLocalService ? 0x3E5 : 0x3E4;
  std::vector<std::string> groups = {kEveryone, kService, kAuthenticatedUsers, kLocal};
  if (account == kLocalSystem) groups.push_back(kAdministrators);
  for (const std::string& g : groups) t.groups.push_back({g, true});
  return t;
}

Token lowered(const Token& token, const Lowering& lowering) {
  Token t = token;
  t.integrity = std::min(t.integrity, lowering.integrity_ceiling);
  for (Group& g : t.groups) {
    if (has_sid(lowering.deny_only, g.sid)) g.enabled = false;
  }
  if (!lowering.restrict_to.empty()) {
    // Restricting twice leaves only what both restrictions name
    // ("CreateRestrictedToken": the intersection with the existing token's
    // restricting SIDs).
    std::vector<std::string> r;
    for (const std::string& s : lowering.restrict_to) {
      if (t.restricting.empty() || has_sid(t.restricting, s)) r.push_back(s);
    }
    // Nothing in common: restricted to no account of its own (our own choice).
    if (r.empty()) r.push_back(kRestrictedCode);
    t.restricting = r;
  }
  return t;
}

// Source: "Security Descriptor String Format" (Microsoft Learn): O:, G:, D:
// and S: parts, each once. The owner and group are checked and dropped (our
// own choice: no check here reads them).
bool parse_sddl(const std::string& text, SecurityDescriptor* out, std::string* error) {
  *out = SecurityDescriptor();
  std::string t;
  for (char c : text) {
    if (!std::isspace(static_cast<unsigned char>(c))) t += c;
  }
  size_t at = 0;
  bool dacl = false, sacl = false;
  while (at < t.size()) {
    if (at + 1 >= t.size() || t[at + 1] != ':') {
      *error = "expected O:, G:, D: or S: at " + std::to_string(at);
      return false;
    }
    const char part = t[at];
    at += 2;
    if (part == 'O' || part == 'G') {
      size_t end = at;
      while (end < t.size() && !(end + 1 < t.size() && t[end + 1] == ':' && std::strchr("OGDS", t[end])))
        ++end;
      std::string sid;
      if (!parse_sid(t.substr(at, end - at), &sid)) {
        *error = "an owner or group that is no SID";
        return false;
      }
      at = end;
    } else if (part == 'D' && !dacl) {
      dacl = true;
      out->has_dacl = true;
      if (!parse_aces(t, &at, false, out, error)) return false;
    } else if (part == 'S' && !sacl) {
      sacl = true;
      if (!parse_aces(t, &at, true, out, error)) return false;
    } else {
      *error = std::string("a second or unknown part ") + part + ":";
      return false;
    }
  }
  return true;
}

bool access_check(const SecurityDescriptor& sd, const Token& token, AccessMask desired, AccessMask* granted) {
  *granted = 0;
  desired = map_generic(desired);
  // Source: winnt.h: MAXIMUM_ALLOWED asks for every right the descriptor
  // grants.
  const bool maximum = (desired & kMaximumAllowed) != 0;
  desired &= ~kMaximumAllowed;
  std::vector<std::string> allow = {token.user}, deny;
  for (const Group& g : token.groups) (g.enabled ? allow : deny).push_back(g.sid);
  AccessMask may = dacl_grant(sd, allow, deny);
  // A restricted token is checked a second time with its restricting SIDs
  // alone; it gets what both checks grant ("Restricted Tokens").
  if (!token.restricting.empty()) may &= dacl_grant(sd, token.restricting, deny);
  // Below the object's label the policy's rights are taken away; the
  // standard rights every open reads with (READ_CONTROL, SYNCHRONIZE) stay
  // ("Mandatory Integrity Control").
  if (token.integrity < sd.label) {
    AccessMask up = 0;
    if (sd.label_policy & 1) up |= (kFileGenericWrite | kDelete | kWriteDac | kWriteOwner);
    if (sd.label_policy & 2) up |= kFileGenericRead;
    if (sd.label_policy & 4) up |= kFileGenericExecute;
    may &= ~(up & ~(kReadControl | kSynchronize));
  }
  if ((desired & ~may) != 0) return false;
  *granted = maximum ? (may | desired) : desired;
  return true;
}

// Our own choice: one shared token for the console user's programs.
Caller console_caller(uint32_t process_id) {
  static const auto token = std::make_shared<const Token>(console_user());
  return Caller{process_id, token};
}

}  // namespace korvel::sim::security
