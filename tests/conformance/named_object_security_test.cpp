// A named event that may already exist when the service makes it: who owns
// it, read through its handle, and what CreateEventW does when the name is
// taken by an event the caller may not fully use, or by another kind of object.
#include "platform/process.h"
#include "platform/sync.h"
#include "tests/conformance/side.h"

namespace conformance {
namespace {
const std::wstring kName = L"Global\\ZefoConformanceAttach";
// Global\DriverAttach's: anyone may set it, only SYSTEM and Administrators do more.
constexpr wchar_t kSetByAnyone[] = L"D:(A;;GA;;;SY)(A;;GA;;;BA)(A;;0x2;;;WD)";

UniqueKernelHandle CreateNamed(const wchar_t* sddl) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (sddl != nullptr &&
      !os::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor, nullptr))
    ADD_FAILURE() << "descriptor: " << LastErrorText();
  UniqueLocalMemory descriptorMemory(descriptor);
  SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
  return UniqueKernelHandle(os::CreateEventW(sddl ? &attributes : nullptr, FALSE, FALSE, kName.c_str()));
}

// The owner as SDDL ("O:BA"); the error code when it cannot be read.
DWORD ReadOwner(HANDLE object, std::wstring& owner) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  const DWORD error = os::GetSecurityInfo(object, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, nullptr, nullptr,
                                          nullptr, nullptr, &descriptor);
  if (error != ERROR_SUCCESS) return error;
  UniqueLocalMemory descriptorMemory(descriptor);
  LPWSTR text = nullptr;
  if (!os::ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor, SDDL_REVISION_1,
                                                                OWNER_SECURITY_INFORMATION, &text, nullptr))
    return os::GetLastError();
  UniqueLocalMemory textMemory(text);
  owner = text;
  return ERROR_SUCCESS;
}

using EventOwner = Conformance;

TEST_F(EventOwner, IsTheOneItsDescriptorNames) {
  UniqueKernelHandle event = CreateNamed(L"O:BAD:(A;;GA;;;WD)");
  ASSERT_TRUE(event) << LastErrorText();
  std::wstring owner;
  ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS), ReadOwner(event.Get(), owner));
  EXPECT_EQ(L"O:BA", owner);
}

// An elevated process's default owner is Administrators.
TEST_F(EventOwner, IsItsElevatedCreatorsDefaultOwnerWhenItsDescriptorNamesNone) {
  KnownWineDifference wine(
      "an event made without a descriptor has no owner, and one whose descriptor names none is owned by the "
      "prefix's primary group (S-1-5-21-0-0-0-513)");
  for (const wchar_t* sddl : {static_cast<const wchar_t*>(nullptr), kSetByAnyone}) {
    SCOPED_TRACE(sddl ? "a DACL only" : "no descriptor");
    UniqueKernelHandle event = CreateNamed(sddl);
    ASSERT_TRUE(event) << LastErrorText();
    std::wstring owner;
    ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS), ReadOwner(event.Get(), owner));
    EXPECT_EQ(L"O:BA", owner);
  }
}

using TakenName = Conformance;

TEST_F(TakenName, AnEventIsOpenedOnlyWithAllAccess) {
  UniqueKernelHandle made = CreateNamed(kSetByAnyone);
  ASSERT_TRUE(made) << LastErrorText();
  {
    NonElevatedCaller caller;
    SetSentinelLastError();
    EXPECT_FALSE(UniqueKernelHandle(os::CreateEventW(nullptr, FALSE, FALSE, kName.c_str())));
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), os::GetLastError());
  }
  SetSentinelLastError();
  UniqueKernelHandle opened(os::CreateEventW(nullptr, FALSE, FALSE, kName.c_str()));
  EXPECT_TRUE(opened) << LastErrorText();
  EXPECT_EQ(static_cast<DWORD>(ERROR_ALREADY_EXISTS), os::GetLastError());
}

TEST_F(TakenName, AnotherKindOfObjectFailsWithInvalidHandle) {
  HoldMutex(kName);
  SetSentinelLastError();
  EXPECT_FALSE(CreateNamed(kSetByAnyone));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), os::GetLastError());
}
}  // namespace
}  // namespace conformance
