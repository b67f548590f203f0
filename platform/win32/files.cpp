#include "platform/files.h"

namespace os {
DWORD GetNamedSecurityInfoW(LPCWSTR pObjectName, SE_OBJECT_TYPE ObjectType, SECURITY_INFORMATION SecurityInfo,
                            PSID* ppsidOwner, PSID* ppsidGroup, PACL* ppDacl, PACL* ppSacl,
                            PSECURITY_DESCRIPTOR* ppSecurityDescriptor) {
  return ::GetNamedSecurityInfoW(pObjectName, ObjectType, SecurityInfo, ppsidOwner, ppsidGroup, ppDacl, ppSacl,
                                 ppSecurityDescriptor);
}
UINT GetDriveTypeW(LPCWSTR lpRootPathName) { return ::GetDriveTypeW(lpRootPathName); }
}  // namespace os
