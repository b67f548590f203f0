// What the SCM does when the service process ends without reporting STOPPED
// (a crash): it starts the service again a minute later, so that a sensor a
// cut recovery left disabled is enabled from the record long before the next
// boot. Twice within a day at most: a service that keeps crashing is left
// stopped rather than started again and again.
#pragma once

#include "platform/types.h"

// SERVICE_CONFIG_FAILURE_ACTIONS as -install sets it: restart after 60 s,
// restart after 60 s, then nothing; the count starts again after a day
// without a failure. No reboot message, no command.
const SERVICE_FAILURE_ACTIONSW& ServiceFailureActions();

// Sets them on the service (a handle with SERVICE_CHANGE_CONFIG and
// SERVICE_START access). A failure is logged as a warning; the service stays
// installed without them.
void ConfigureFailureActions(SC_HANDLE service);
