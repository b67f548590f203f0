// Whether -install may register the executable where it lies: the SCM runs
// the registered file as LocalSystem, loads it from its folder, and Event
// Viewer loads its message table in an administrator's process. Whoever may
// change that file, its folder or a folder above them owns the machine.
#pragma once

#include <string>

#include "platform/types.h"

// Empty when the executable, its folder and every folder above it up to the
// root are left to SYSTEM, Administrators and TrustedInstaller, on a fixed
// local drive; else why not, as a clause for the console ("C:\Tools may be
// changed by Authenticated Users (S-1-5-11)"). Anything that cannot be read
// counts against the folder.
std::wstring WhyInstallFolderIsNotTrusted(LPCWSTR pszExecutablePath);
