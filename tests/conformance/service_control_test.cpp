// The service database as install and remove use it, and the SCM's handling
// of another service: its pending states, and one control at a time.
#include <vector>

#include "platform/process.h"
#include "platform/service_control.h"
#include "platform/sync.h"
#include "tests/conformance/side.h"

namespace conformance {
namespace {
constexpr wchar_t kName[] = L"ZefoConformanceService";

class ServiceControl : public Conformance {
 protected:
  ServiceControl() : manager_(os::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE)) {}
  ~ServiceControl() override {
    // A failed case must not leave the service for the next one.
    UniqueScHandle left(os::OpenServiceW(manager_.Get(), kName, DELETE));
    if (left) os::DeleteService(left.Get());
  }
  UniqueScHandle Create() {
    return UniqueScHandle(os::CreateServiceW(manager_.Get(), kName, L"Zefo Conformance", SERVICE_ALL_ACCESS,
                                             SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                             L"\"C:\\zefo\\conformance.exe\"", nullptr, nullptr, nullptr, nullptr,
                                             nullptr));
  }
  UniqueScHandle manager_;
};

TEST_F(ServiceControl, CreateTwiceFailsWithServiceExists) {
  ASSERT_TRUE(manager_);
  UniqueScHandle service = Create();
  ASSERT_TRUE(service);
  SetSentinelLastError();
  UniqueScHandle again = Create();
  EXPECT_FALSE(again);
  EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_EXISTS), os::GetLastError());
}

TEST_F(ServiceControl, OpenOfAMissingServiceFails) {
  ASSERT_TRUE(manager_);
  SetSentinelLastError();
  UniqueScHandle service(os::OpenServiceW(manager_.Get(), L"ZefoConformanceAbsent", SERVICE_ALL_ACCESS));
  EXPECT_FALSE(service);
  EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST), os::GetLastError());
}

TEST_F(ServiceControl, StoppedServiceQueriesStoppedAndRefusesStop) {
  ASSERT_TRUE(manager_);
  ASSERT_TRUE(Create());
  UniqueScHandle service(os::OpenServiceW(manager_.Get(), kName, SERVICE_STOP | SERVICE_QUERY_STATUS));
  ASSERT_TRUE(service);
  SERVICE_STATUS status{};
  ASSERT_TRUE(os::QueryServiceStatus(service.Get(), &status));
  EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), status.dwCurrentState);
  EXPECT_EQ(static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS), status.dwServiceType);
  // The status is filled in on this error too.
  status = SERVICE_STATUS{};
  SetSentinelLastError();
  EXPECT_FALSE(os::ControlService(service.Get(), SERVICE_CONTROL_STOP, &status));
  EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_NOT_ACTIVE), os::GetLastError());
  EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), status.dwCurrentState);
}

TEST_F(ServiceControl, DeleteRemovesTheServiceOnceItsHandlesAreClosed) {
  ASSERT_TRUE(manager_);
  UniqueScHandle service = Create();
  ASSERT_TRUE(service);
  ASSERT_TRUE(os::DeleteService(service.Get()));
  SetSentinelLastError();
  EXPECT_FALSE(os::DeleteService(service.Get()));
  EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_MARKED_FOR_DELETE), os::GetLastError());
  service.Close();
  SetSentinelLastError();
  UniqueScHandle reopened(os::OpenServiceW(manager_.Get(), kName, SERVICE_QUERY_STATUS));
  EXPECT_FALSE(reopened);
  EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST), os::GetLastError());
  EXPECT_TRUE(Create());
}

TEST_F(ServiceControl, HandleWithoutTheNeededRightIsRefused) {
  ASSERT_TRUE(manager_);
  ASSERT_TRUE(Create());
  UniqueScHandle queryOnly(os::OpenServiceW(manager_.Get(), kName, SERVICE_QUERY_STATUS));
  ASSERT_TRUE(queryOnly);
  SetSentinelLastError();
  EXPECT_FALSE(os::DeleteService(queryOnly.Get()));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), os::GetLastError());
  UniqueScHandle connectOnly(os::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  ASSERT_TRUE(connectOnly);
  SetSentinelLastError();
  UniqueScHandle created(os::CreateServiceW(connectOnly.Get(), L"ZefoConformanceOther", nullptr, SERVICE_ALL_ACCESS,
                                            SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                            L"C:\\zefo\\other.exe", nullptr, nullptr, nullptr, nullptr, nullptr));
  EXPECT_FALSE(created);
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), os::GetLastError());
}
// The failure actions as QueryServiceConfig2W gives them, once it has said
// the size it needs; null when it failed.
const SERVICE_FAILURE_ACTIONSW* QueryFailureActions(SC_HANDLE service, std::vector<BYTE>& buffer) {
  DWORD needed = 0;
  SetSentinelLastError();
  EXPECT_FALSE(os::QueryServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS, nullptr, 0, &needed));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), os::GetLastError());
  if (needed < sizeof(SERVICE_FAILURE_ACTIONSW)) return nullptr;
  buffer.assign(needed, 0);
  if (!os::QueryServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS, buffer.data(), needed, &needed))
    return nullptr;
  return reinterpret_cast<const SERVICE_FAILURE_ACTIONSW*>(buffer.data());
}

// ChangeServiceConfig2W stores the failure actions and QueryServiceConfig2W
// gives them back, each member pointing into the buffer. An empty array
// deletes them and the reset period.
TEST_F(ServiceControl, FailureActionsAreStoredQueriedBackAndDeleted) {
  ASSERT_TRUE(manager_);
  UniqueScHandle service = Create();
  ASSERT_TRUE(service);
  SC_ACTION actions[] = {{SC_ACTION_RESTART, 60000}, {SC_ACTION_RESTART, 120000}, {SC_ACTION_NONE, 0}};
  SERVICE_FAILURE_ACTIONSW set{86400, nullptr, nullptr, 3, actions};
  ASSERT_TRUE(os::ChangeServiceConfig2W(service.Get(), SERVICE_CONFIG_FAILURE_ACTIONS, &set)) << LastErrorText();
  KnownWineDifference difference(
      "Wine's ChangeServiceConfig2W takes failure actions without storing them, and its QueryServiceConfig2W "
      "refuses SERVICE_CONFIG_FAILURE_ACTIONS with ERROR_INVALID_LEVEL");
  std::vector<BYTE> buffer;
  const SERVICE_FAILURE_ACTIONSW* got = QueryFailureActions(service.Get(), buffer);
  ASSERT_NE(nullptr, got) << LastErrorText();
  EXPECT_EQ(86400u, got->dwResetPeriod);
  ASSERT_EQ(3u, got->cActions);
  const BYTE* const actionsAt = reinterpret_cast<const BYTE*>(got->lpsaActions);
  ASSERT_TRUE(actionsAt >= buffer.data() && actionsAt + 3 * sizeof(SC_ACTION) <= buffer.data() + buffer.size());
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(actions[i].Type, got->lpsaActions[i].Type) << "action " << i;
    EXPECT_EQ(actions[i].Delay, got->lpsaActions[i].Delay) << "action " << i;
  }

  SERVICE_FAILURE_ACTIONSW none{0, nullptr, nullptr, 0, actions};
  ASSERT_TRUE(os::ChangeServiceConfig2W(service.Get(), SERVICE_CONFIG_FAILURE_ACTIONS, &none)) << LastErrorText();
  got = QueryFailureActions(service.Get(), buffer);
  ASSERT_NE(nullptr, got) << LastErrorText();
  EXPECT_EQ(0u, got->cActions);
  EXPECT_EQ(0u, got->dwResetPeriod);
}

// Setting them takes SERVICE_CHANGE_CONFIG, and SERVICE_START when one
// restarts the service; reading them takes SERVICE_QUERY_CONFIG.
TEST_F(ServiceControl, FailureActionsTakeTheirAccessRights) {
  ASSERT_TRUE(manager_);
  ASSERT_TRUE(Create());
  SC_ACTION restart[] = {{SC_ACTION_RESTART, 60000}};
  SERVICE_FAILURE_ACTIONSW set{86400, nullptr, nullptr, 1, restart};
  const auto refused = [&](DWORD access, const char* what) {
    UniqueScHandle service(os::OpenServiceW(manager_.Get(), kName, access));
    ASSERT_TRUE(service) << what;
    SetSentinelLastError();
    EXPECT_FALSE(os::ChangeServiceConfig2W(service.Get(), SERVICE_CONFIG_FAILURE_ACTIONS, &set)) << what;
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), os::GetLastError()) << what;
  };
  refused(SERVICE_QUERY_CONFIG | SERVICE_START, "without SERVICE_CHANGE_CONFIG");
  KnownWineDifference difference(
      "Wine's ChangeServiceConfig2W takes a restart without SERVICE_START, and its QueryServiceConfig2W refuses "
      "SERVICE_CONFIG_FAILURE_ACTIONS with ERROR_INVALID_LEVEL whatever the handle's rights");
  {
    UniqueScHandle service(os::OpenServiceW(manager_.Get(), kName, SERVICE_CHANGE_CONFIG | SERVICE_START));
    ASSERT_TRUE(service);
    EXPECT_TRUE(os::ChangeServiceConfig2W(service.Get(), SERVICE_CONFIG_FAILURE_ACTIONS, &set)) << LastErrorText();
    BYTE buffer[256];
    DWORD needed = 0;
    SetSentinelLastError();
    EXPECT_FALSE(
        os::QueryServiceConfig2W(service.Get(), SERVICE_CONFIG_FAILURE_ACTIONS, buffer, sizeof buffer, &needed));
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), os::GetLastError());
  }
  refused(SERVICE_CHANGE_CONFIG, "a restart without SERVICE_START");
}

constexpr wchar_t kOther[] = L"ZefoConformanceOther";
constexpr wchar_t kBusy[] = L"ZefoConformanceBusy";

class OtherService : public Conformance {
 protected:
  OtherService() : manager_(os::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT)) {}
  UniqueScHandle Open(const wchar_t* name) {
    return UniqueScHandle(os::OpenServiceW(manager_.Get(), name, SERVICE_STOP | SERVICE_START | SERVICE_QUERY_STATUS));
  }
  static SERVICE_STATUS Status(const UniqueScHandle& service) {
    SERVICE_STATUS status{};
    EXPECT_TRUE(os::QueryServiceStatus(service.Get(), &status));
    return status;
  }
  // Polls until the service shows this state (and checkpoint), for up to about 20 s.
  static bool Await(const UniqueScHandle& service, DWORD state, DWORD checkPoint = 0) {
    for (int i = 0; i < 400; ++i) {
      const SERVICE_STATUS status = Status(service);
      if (status.dwCurrentState == state && status.dwCheckPoint == checkPoint) return true;
      os::Sleep(50);
    }
    return false;
  }
  UniqueScHandle manager_;
};

TEST_F(OtherService, AStoppingServiceRefusesAStopAndAStartUntilItHasStopped) {
  if (!StartOtherService(kOther, {/*stopMs=*/2000, 0, 0})) GTEST_SKIP() << "no other service can be installed here";
  UniqueScHandle service = Open(kOther);
  ASSERT_TRUE(service);
  SERVICE_STATUS status{};
  ASSERT_TRUE(os::ControlService(service.Get(), SERVICE_CONTROL_STOP, &status));
  EXPECT_EQ(static_cast<DWORD>(SERVICE_STOP_PENDING), status.dwCurrentState);
  status = SERVICE_STATUS{};
  SetSentinelLastError();
  EXPECT_FALSE(os::ControlService(service.Get(), SERVICE_CONTROL_STOP, &status));
  EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_CANNOT_ACCEPT_CTRL), os::GetLastError());
  EXPECT_EQ(static_cast<DWORD>(SERVICE_STOP_PENDING), status.dwCurrentState);
  SetSentinelLastError();
  EXPECT_FALSE(os::StartServiceW(service.Get(), 0, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_ALREADY_RUNNING), os::GetLastError());
  EXPECT_TRUE(Await(service, SERVICE_STOPPED));
}

TEST_F(OtherService, AStartLeavesItStartPendingAndASecondStartIsRefused) {
  if (!StartOtherService(kOther, {0, /*startMs=*/2000, 0})) GTEST_SKIP() << "no other service can be installed here";
  UniqueScHandle service = Open(kOther);
  ASSERT_TRUE(service);
  SERVICE_STATUS status{};
  ASSERT_TRUE(os::ControlService(service.Get(), SERVICE_CONTROL_STOP, &status));
  ASSERT_TRUE(Await(service, SERVICE_STOPPED));
  ASSERT_TRUE(os::StartServiceW(service.Get(), 0, nullptr));
  EXPECT_EQ(static_cast<DWORD>(SERVICE_START_PENDING), Status(service).dwCurrentState);
  SetSentinelLastError();
  EXPECT_FALSE(os::StartServiceW(service.Get(), 0, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_ALREADY_RUNNING), os::GetLastError());
  EXPECT_TRUE(Await(service, SERVICE_RUNNING));
}

TEST_F(OtherService, AStartingServiceRefusesAStop) {
  if (!StartOtherService(kOther, {0, /*startMs=*/2000, 0})) GTEST_SKIP() << "no other service can be installed here";
  UniqueScHandle service = Open(kOther);
  ASSERT_TRUE(service);
  SERVICE_STATUS status{};
  ASSERT_TRUE(os::ControlService(service.Get(), SERVICE_CONTROL_STOP, &status));
  ASSERT_TRUE(Await(service, SERVICE_STOPPED));
  ASSERT_TRUE(os::StartServiceW(service.Get(), 0, nullptr));
  KnownWineDifference difference("Wine's SCM lets a STOP through to a service in START_PENDING");
  SetSentinelLastError();
  EXPECT_FALSE(os::ControlService(service.Get(), SERVICE_CONTROL_STOP, &status));
  EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_CANNOT_ACCEPT_CTRL), os::GetLastError());
  EXPECT_EQ(static_cast<DWORD>(SERVICE_START_PENDING), status.dwCurrentState);
}

DWORD WINAPI SendStop(LPVOID service) {
  SERVICE_STATUS status{};
  return os::ControlService(static_cast<SC_HANDLE>(service), SERVICE_CONTROL_STOP, &status) ? NO_ERROR
                                                                                          : os::GetLastError();
}

// The SCM sends one control at a time across all services: while one
// service's handler runs, a stop or a start of another waits for it.
class BusyHandler : public OtherService {
 protected:
  // A stop is in the busy service's handler when the action on the other
  // service runs; gives the busy service's checkpoint right after the action
  // returned: 2 when the handler had returned first.
  DWORD CheckPointAfter(bool (*action)(SC_HANDLE)) {
    UniqueScHandle other = Open(kOther);
    UniqueScHandle busy = Open(kBusy);
    UniqueKernelHandle handling(os::OpenEventW(SYNCHRONIZE, FALSE, HandlingEventName(kBusy).c_str()));
    EXPECT_TRUE(other && busy && handling);
    UniqueKernelHandle sender(os::CreateThread(nullptr, 0, SendStop, busy.Get(), 0, nullptr));
    EXPECT_EQ(WAIT_OBJECT_0, os::WaitForSingleObject(handling.Get(), 20000));
    EXPECT_TRUE(action(other.Get()));
    const DWORD checkPoint = Status(busy).dwCheckPoint;
    EXPECT_EQ(WAIT_OBJECT_0, os::WaitForSingleObject(sender.Get(), 60000));
    return checkPoint;
  }
  // It stays STOP_PENDING a while after its handler returned.
  static constexpr OtherServiceTimes kBusyTimes = {/*stopMs=*/2000, 0, /*handlerMs=*/2000};
};

TEST_F(BusyHandler, AStopOfAnotherServiceWaitsForIt) {
  if (!StartOtherService(kOther, {}) || !StartOtherService(kBusy, kBusyTimes))
    GTEST_SKIP() << "no other service can be installed here";
  const DWORD checkPoint = CheckPointAfter([](SC_HANDLE other) {
    SERVICE_STATUS status{};
    return os::ControlService(other, SERVICE_CONTROL_STOP, &status) != FALSE;
  });
  EXPECT_EQ(2u, checkPoint);
}

TEST_F(BusyHandler, AStartOfAnotherServiceWaitsForIt) {
  if (!StartOtherService(kOther, {})) GTEST_SKIP() << "no other service can be installed here";
  {
    UniqueScHandle other = Open(kOther);
    SERVICE_STATUS status{};
    ASSERT_TRUE(os::ControlService(other.Get(), SERVICE_CONTROL_STOP, &status));
    ASSERT_TRUE(Await(other, SERVICE_STOPPED));
  }
  if (!StartOtherService(kBusy, kBusyTimes)) GTEST_SKIP() << "no other service can be installed here";
  const DWORD checkPoint =
      CheckPointAfter([](SC_HANDLE other) { return os::StartServiceW(other, 0, nullptr) != FALSE; });
  EXPECT_EQ(2u, checkPoint);
}

void WINAPI NeverCalled(DWORD, LPWSTR*) {}

using ServiceDispatcher = Conformance;

// Wine gives the same error, but only after about 10 s.
TEST_F(ServiceDispatcher, FailsAtOnceWhenNotStartedByTheScm) {
  wchar_t name[] = L"ZefoConformanceService";
  const SERVICE_TABLE_ENTRYW table[] = {{name, NeverCalled}, {nullptr, nullptr}};
  SetSentinelLastError();
  EXPECT_FALSE(os::StartServiceCtrlDispatcherW(table));
  EXPECT_EQ(static_cast<DWORD>(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT), os::GetLastError());
}
}  // namespace
}  // namespace conformance
