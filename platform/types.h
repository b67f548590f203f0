// Win32 types and constants for the system's logic. On Windows they come from
// the SDK; the simulation defines exactly the subset used, with the same values.
#pragma once

#ifdef _WIN32
#include <windows.h>
#include <winsvc.h>
#include <setupapi.h>
#include <cfgmgr32.h>
#include <evntrace.h>
#include <wtsapi32.h>
#include <sddl.h>
#include <aclapi.h>
#else
#include "platform/sim/win_types.h"
#endif
