// The service database as install and remove use it.
#include "platform/process.h"
#include "platform/service_control.h"
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
