// Who asks, and what an object lets them do: access tokens (a user, its
// groups, a logon session, a Windows session and an integrity level),
// security descriptors in their SDDL form, and the access check the I/O
// manager makes when a file is opened on a device. Plain C++: the device host
// and the Windows stand-in use the same types without the kernel's headers.
//
// The rules are Windows' own: "Security Descriptor String Format", "ACE
// Strings", "SID Strings", "How DACLs Control Access to an Object",
// "Mandatory Integrity Control", "File Security and Access Rights" (the
// file object's generic mapping), "CreateRestrictedToken".
#ifndef KORVEL_SIM_KERNEL_SECURITY_H
#define KORVEL_SIM_KERNEL_SECURITY_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace korvel::sim::security {

using AccessMask = uint32_t;

// Access rights of file objects ("File Security and Access Rights").
constexpr AccessMask kFileReadData = 0x0001;
constexpr AccessMask kFileWriteData = 0x0002;
constexpr AccessMask kFileAppendData = 0x0004;
constexpr AccessMask kFileReadEa = 0x0008;
constexpr AccessMask kFileWriteEa = 0x0010;
constexpr AccessMask kFileExecute = 0x0020;
constexpr AccessMask kFileReadAttributes = 0x0080;
constexpr AccessMask kFileWriteAttributes = 0x0100;
constexpr AccessMask kDelete = 0x00010000;
constexpr AccessMask kReadControl = 0x00020000;
constexpr AccessMask kWriteDac = 0x00040000;
constexpr AccessMask kWriteOwner = 0x00080000;
constexpr AccessMask kSynchronize = 0x00100000;
constexpr AccessMask kMaximumAllowed = 0x02000000;
constexpr AccessMask kGenericAll = 0x10000000;
constexpr AccessMask kGenericExecute = 0x20000000;
constexpr AccessMask kGenericWrite = 0x40000000;
constexpr AccessMask kGenericRead = 0x80000000;
constexpr AccessMask kFileGenericRead =
    kReadControl | kFileReadData | kFileReadAttributes | kFileReadEa | kSynchronize;
constexpr AccessMask kFileGenericWrite =
    kReadControl | kFileWriteData | kFileWriteAttributes | kFileWriteEa | kFileAppendData | kSynchronize;
constexpr AccessMask kFileGenericExecute = kReadControl | kFileReadAttributes | kFileExecute | kSynchronize;
constexpr AccessMask kFileAllAccess = 0x001F01FF;

// Generic rights replaced by the file object's specific ones.
AccessMask map_generic(AccessMask mask);

// Mandatory integrity levels (the RID of the S-1-16-x label SIDs, "Well-known
// SIDs").
constexpr uint32_t kIntegrityUntrusted = 0x0000;
constexpr uint32_t kIntegrityLow = 0x1000;
constexpr uint32_t kIntegrityMedium = 0x2000;
constexpr uint32_t kIntegrityHigh = 0x3000;
constexpr uint32_t kIntegritySystem = 0x4000;

// Well-known SIDs ("Well-known SIDs").
inline const std::string kEveryone = "S-1-1-0";
inline const std::string kLocal = "S-1-2-0";
inline const std::string kNetwork = "S-1-5-2";
inline const std::string kInteractive = "S-1-5-4";
inline const std::string kService = "S-1-5-6";
inline const std::string kAuthenticatedUsers = "S-1-5-11";
inline const std::string kRestrictedCode = "S-1-5-12";
inline const std::string kLocalSystem = "S-1-5-18";
inline const std::string kLocalService = "S-1-5-19";
inline const std::string kNetworkService = "S-1-5-20";
inline const std::string kAdministrators = "S-1-5-32-544";
inline const std::string kUsers = "S-1-5-32-545";

struct Group {
  std::string sid;
  bool enabled = true;  // false: deny-only (matches deny ACEs, never allow ACEs)
};

// An access token.
struct Token {
  std::string user;
  std::vector<Group> groups;
  uint32_t integrity = kIntegrityMedium;
  uint32_t session = 0;  // the Windows session (terminal-services session) of its logon
  uint64_t logon = 0;    // the logon session's LUID
  // A restricted token's restricting SIDs: access must be granted to them
  // too. Empty: not restricted.
  std::vector<std::string> restricting;
};

// Tokens of the accounts the stand-in models. `user` is a user's number
// (part of its SID); `logon` numbers the logon session. The accounts, their
// sessions and integrity levels follow "Mandatory Integrity Control" and
// "Well-known SIDs"; the set of accounts is our own choice.
//   console_user:  an interactive logon at the console (session 1), medium
//                  integrity, not elevated (Administrators is deny-only in a
//                  filtered administrator's token; plain users lack it);
//   interactive_user: another user's interactive logon (fast user switching)
//                  in session `session`;
//   network_user:  a user logged on over the network (a share, remote
//                  management, a service of theirs): no Interactive SID;
//   elevated_admin: the console user's elevated token, high integrity;
//   service:       LocalService (the Windows Audio service and its audiodg)
//                  or LocalSystem (the Audio Endpoint Builder), session 0.
Token console_user(uint32_t user = 1001, uint64_t logon = 0x3E7001);
Token interactive_user(uint32_t user, uint32_t session, uint64_t logon);
Token network_user(uint32_t user, uint64_t logon);
Token elevated_admin(uint32_t user = 1001, uint64_t logon = 0x3E7002);
Token service(const std::string& account);

// What a process may do to its own token when it starts another program
// with less ("CreateRestrictedToken", SetTokenInformation with a lower
// TokenIntegrityLevel): lower the integrity, make groups deny-only, restrict
// it to some SIDs. Nothing here can raise a level, enable a group or add one.
struct Lowering {
  uint32_t integrity_ceiling = kIntegritySystem;
  std::vector<std::string> deny_only;
  std::vector<std::string> restrict_to;
};
Token lowered(const Token& token, const Lowering& lowering);

struct Ace {
  enum class Type { Allow, Deny } type = Type::Allow;
  AccessMask mask = 0;  // generic rights already mapped
  std::string sid;
};

struct SecurityDescriptor {
  bool has_dacl = false;  // no DACL: everyone has every access
  std::vector<Ace> dacl;
  // The mandatory label; without one an object is medium integrity with
  // no-write-up ("Mandatory Integrity Control").
  uint32_t label = kIntegrityMedium;
  uint32_t label_policy = 1;  // winnt.h: SYSTEM_MANDATORY_LABEL_NO_WRITE_UP 1, NO_READ_UP 2, NO_EXECUTE_UP 4
};

// Parses an SDDL string: owner and group (read and ignored), a DACL of A and
// D ACEs with its flags, a SACL's mandatory-label ACE (ML). Rights as hex or
// as the two-letter codes; SIDs as S-1-... or the two-letter aliases.
// False with *error on anything else or malformed.
bool parse_sddl(const std::string& text, SecurityDescriptor* out, std::string* error);

// The access check of an open: `desired` (generic rights mapped) against the
// descriptor for the token, with the mandatory integrity policy and a
// restricted token's second check. True with *granted when every right asked
// is granted (MAXIMUM_ALLOWED: as many as are); false when one is not.
bool access_check(const SecurityDescriptor& sd, const Token& token, AccessMask desired, AccessMask* granted);

// Who sends a request: the process and its token.
struct Caller {
  uint32_t process_id = 0;
  std::shared_ptr<const Token> token;
};
// The console user's program with the given process id.
Caller console_caller(uint32_t process_id);

}  // namespace korvel::sim::security

#endif
