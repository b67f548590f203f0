// Security descriptors on the simulated machine: what one holds, its SDDL
// text both ways, the self-relative form the platform hands to programs, the
// default descriptor of a new registry key, and the access check.
//
// The model keeps what the system asks of it: owner, primary group, a DACL of
// allow and deny ACEs, and a SACL kept as its text. A caller is elevated
// (LocalSystem, or an administrator's elevated prompt; the sim does not tell
// the two apart) or not (a user whose Administrators group is deny-only, as
// in a restricted token); no privileges take part in the check.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/sim/win_types.h"

namespace sim {

struct Ace {
  bool allow = true;  // "A"; false: "D"
  BYTE flags = 0;     // OBJECT_INHERIT_ACE, CONTAINER_INHERIT_ACE, ...
  ACCESS_MASK rights = 0;
  std::wstring account;  // as SDDL writes it: an alias ("BA") or a SID string
};

struct Acl {
  WORD control = 0;  // SE_DACL_PROTECTED, SE_DACL_AUTO_INHERIT_REQ, SE_DACL_AUTO_INHERITED
  bool null = false;  // "NO_ACCESS_CONTROL": everyone may do anything
  std::vector<Ace> aces;
};

struct Security {
  std::optional<std::wstring> owner;
  std::optional<std::wstring> group;
  std::optional<Acl> dacl;  // none: SE_DACL_PRESENT clear
  std::optional<std::wstring> sacl;  // its flags and ACEs as written
};

constexpr SECURITY_INFORMATION kAllSecurityParts =
    OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION | SACL_SECURITY_INFORMATION;

// Reads SDDL text, as ConvertStringSecurityDescriptorToSecurityDescriptorW
// does; none when it is not valid, with its error code: ERROR_INVALID_SID for
// the owner or group, ERROR_INVALID_ACL for the DACL, else
// ERROR_INVALID_PARAMETER.
std::optional<Security> ParseSddl(std::wstring_view text, DWORD& error);
// The parts named, as ConvertSecurityDescriptorToStringSecurityDescriptorW
// writes them: aliases for well-known SIDs, rights by name where one names
// the whole mask (else in hex), flags in a fixed order.
std::wstring ToSddl(const Security& security, SECURITY_INFORMATION parts = kAllSecurityParts);
// Only the parts named.
Security PartsOf(const Security& security, SECURITY_INFORMATION parts);

// The self-relative descriptor the platform hands out: the header, then the
// SDDL text of what it holds. ReadDescriptor takes one back from anywhere in
// memory (a caller's buffer, unaligned); none when it is not such a descriptor.
std::vector<BYTE> SelfRelative(const Security& security);
std::optional<Security> ReadDescriptor(const void* descriptor);

// How generic rights map to an object type's specific rights.
struct GenericMapping {
  ACCESS_MASK read, write, execute, all;
};
inline constexpr GenericMapping kKeyMapping{KEY_READ, KEY_WRITE, KEY_EXECUTE, KEY_ALL_ACCESS};
inline constexpr GenericMapping kEventMapping{0x00020001, 0x00020002, 0x00120000, EVENT_ALL_ACCESS};
inline constexpr GenericMapping kFileMapping{FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE,
                                             FILE_ALL_ACCESS};
ACCESS_MASK MapGeneric(ACCESS_MASK rights, const GenericMapping& mapping);

// The rights the DACL grants the caller (what MAXIMUM_ALLOWED would give);
// the owner always gets READ_CONTROL and WRITE_DAC.
ACCESS_MASK GrantedAccess(const Security& security, bool elevated, const GenericMapping& mapping);
// Whether the caller's token may make this account an object's owner.
bool MayOwn(bool elevated, const std::wstring& owner);
// The owner of what the caller makes without naming one: Administrators for
// an elevated caller, else the user.
std::wstring DefaultOwner(bool elevated);

// What an object created without a descriptor gets under this parent: the
// caller's default owner, and the parent's ACEs inheritable by a container
// (a folder, a registry key) or by a file, marked inherited. An object-inherit
// ACE passes through a folder, for the files below it; a CREATOR OWNER ACE
// applies to the new object as its owner.
Security InheritedSecurity(const Security& parent, bool container, bool elevated);
// HKEY_LOCAL_MACHINE's: SYSTEM and Administrators full control, Users read,
// inherited by every key below.
Security MachineRootKeySecurity();

}  // namespace sim
