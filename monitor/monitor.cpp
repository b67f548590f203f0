// Monitor start and stop: the service's OnStart and OnStop hooks.
#include "service/service_base.h"

void CServiceBase::OnStart(DWORD, LPWSTR*) {}

void CServiceBase::OnStop() {}
