// The service's two event sources under the Application log: registered at
// install so that the event log reads the entries' text from the executable's
// message table, deleted at remove. A source key is ours when its
// EventMessageFile names ZefoFpService.exe, in any folder; a key of another
// program's under the same name is left as it is.
#pragma once

#include "platform/types.h"

// Under HKEY_LOCAL_MACHINE; one subkey per source ("ZEFO/Service", "ZEFO / Debug").
constexpr LPCWSTR kApplicationLogKeyPath = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application";
// The entry types the sources report: error, warning, information.
constexpr DWORD kEventTypesSupported = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;

// Creates both registrations, or overwrites ours: EventMessageFile
// (REG_EXPAND_SZ) the executable's full path, TypesSupported (REG_DWORD). A
// source whose key is another program's, or that cannot be registered, is
// logged (with the error code); nothing fails.
void RegisterEventSources(LPCWSTR pszExecutablePath);
// Deletes both sources' keys where they are ours, and nothing else; a key of
// another program's, or one that cannot be deleted, is logged (with the error
// code). A key that is not there is not a failure.
void RemoveEventSources();
