// Whether an object's security leaves it to SYSTEM, Administrators and
// TrustedInstaller: the one judge of the install folder, the driver's event
// and the recovery key. It reads the descriptor as SDDL text, the form
// ConvertSecurityDescriptorToStringSecurityDescriptorW writes, so that the
// same rules hold on every platform.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/types.h"

// What changes an object, by kind. Generic write and all count for each.
// A file or the folder it lies in: its data, appending (a new file or folder
// in a folder), deleting it or what it holds, its DACL or its owner.
constexpr ACCESS_MASK kFileChangeRights = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_DELETE_CHILD | DELETE |
                                          WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;
// A folder further up: only what replaces or renames what lies below it.
// Making a new entry there changes nothing below: the root of the system drive
// lets every user make folders in it.
constexpr ACCESS_MASK kAncestorFolderChangeRights =
    FILE_DELETE_CHILD | DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_ALL;
// A registry key: its values, its subkeys, deleting it, its DACL or its owner.
constexpr ACCESS_MASK kKeyChangeRights =
    KEY_SET_VALUE | KEY_CREATE_SUB_KEY | DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;

// One ACE of a DACL, as far as the judge reads it.
struct SecurityAce {
  bool allow = false;        // an access-allowed ACE of any form; false: deny and the rest
  bool inheritOnly = false;  // IO: for what is made below, not for the object
  ACCESS_MASK rights = 0;
  std::wstring account;  // a SID string; an alias the judge does not know stays as written
};

struct SecurityText {
  std::optional<std::wstring> owner;  // none: the text has no owner
  bool daclPresent = false;
  bool nullDacl = false;  // "NO_ACCESS_CONTROL": anyone may do anything
  std::vector<SecurityAce> aces;
};

// Reads SDDL text: owner, group and DACL (a SACL is skipped); accounts by
// alias or SID, rights by letters or as a number. None when the text is not
// SDDL the judge can read.
std::optional<SecurityText> ParseSecurityText(std::wstring_view sddl);

// SYSTEM, Administrators and TrustedInstaller.
bool IsTrustedAccount(std::wstring_view account);

// Why an object is not left to the trusted accounts.
struct Distrust {
  enum class Reason {
    kUnreadable,  // the text cannot be read
    kOwner,       // owned by someone else (who may always change its DACL), or by nobody
    kNoDacl,      // a null DACL, or none: anyone may do anything
    kWriter,      // an allow ACE that applies to the object gives someone else changeRights
  };
  Reason reason;
  std::wstring account;  // kOwner (empty: no owner), kWriter
};
// None when the object is owned by a trusted account and its DACL allows none
// of changeRights to anyone else. Deny ACEs are not counted: they never make
// an object safer to trust than its allow ACEs say.
std::optional<Distrust> JudgeSecurity(std::wstring_view sddl, ACCESS_MASK changeRights);

// An account for a reader: "Authenticated Users (S-1-5-11)", or the SID.
std::wstring AccountText(const std::wstring& account);
// The distrust as the end of a sentence about the object: "may be changed by
// Users (S-1-5-32-545)", "is owned by ...".
std::wstring DistrustText(const Distrust& distrust);

// The descriptor's parts named, as SDDL text; none when the conversion
// fails (the last error tells why).
std::optional<std::wstring> SecurityDescriptorText(PSECURITY_DESCRIPTOR descriptor, SECURITY_INFORMATION parts);
