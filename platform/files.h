// Files and folders: their security descriptors and the kind of drive they
// lie on.
#pragma once
#include "platform/types.h"

namespace os {
// The parts of the object's descriptor that SecurityInfo names; the
// self-relative descriptor goes to *ppSecurityDescriptor, for LocalFree.
// ERROR_SUCCESS or the error code.
DWORD GetNamedSecurityInfoW(LPCWSTR pObjectName, SE_OBJECT_TYPE ObjectType, SECURITY_INFORMATION SecurityInfo,
                            PSID* ppsidOwner, PSID* ppsidGroup, PACL* ppDacl, PACL* ppSacl,
                            PSECURITY_DESCRIPTOR* ppSecurityDescriptor);
// DRIVE_FIXED, DRIVE_REMOTE, ...; lpRootPathName is a root with its
// trailing backslash ("C:\").
UINT GetDriveTypeW(LPCWSTR lpRootPathName);
}  // namespace os
