// Registry key security as the service's recovery key uses it: a key created
// with a protected DACL, its descriptor read back and reset, the SDDL
// conversions both ways, and a non-elevated caller refused.
#include <functional>
#include <vector>

#include "platform/registry.h"
#include "platform/sync.h"
#include "tests/conformance/side.h"

namespace conformance {
namespace {
const std::wstring kKey = L"Software\\ZefoConformance\\KeySecurity";
// Owner Administrators; full control for SYSTEM and Administrators, passed
// on to subkeys (CI; registry keys have no other children, so no OI);
// protected (P) from the ACEs of the keys above; nothing for anyone else.
constexpr wchar_t kProtected[] = L"O:BAD:P(A;CI;KA;;;SY)(A;CI;KA;;;BA)";
constexpr wchar_t kProtectedDacl[] = L"D:P(A;CI;KA;;;SY)(A;CI;KA;;;BA)";
constexpr SECURITY_INFORMATION kOwnerAndDacl = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;

UniqueLocalMemory Descriptor(const wchar_t* sddl) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  EXPECT_TRUE(os::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor, nullptr))
      << LastErrorText();
  return UniqueLocalMemory(descriptor);
}

std::wstring ToText(PSECURITY_DESCRIPTOR descriptor, SECURITY_INFORMATION parts) {
  LPWSTR text = nullptr;
  if (!os::ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor, SDDL_REVISION_1, parts, &text, nullptr)) {
    ADD_FAILURE() << "ConvertSecurityDescriptorToStringSecurityDescriptorW: " << LastErrorText();
    return L"";
  }
  UniqueLocalMemory textMemory(text);
  return text;
}

// The key's owner and DACL as SDDL, read as the service will read them.
std::wstring OwnerAndDacl(HKEY key) {
  DWORD size = 0;
  EXPECT_EQ(ERROR_INSUFFICIENT_BUFFER, os::RegGetKeySecurity(key, kOwnerAndDacl, nullptr, &size));
  std::vector<BYTE> descriptor(size);
  EXPECT_EQ(ERROR_SUCCESS, os::RegGetKeySecurity(key, kOwnerAndDacl, descriptor.data(), &size));
  return ToText(descriptor.data(), kOwnerAndDacl);
}

// The DACL part of SDDL text, without "AI": Windows marks the DACL of a key
// it creates as auto-inherited, which says how the DACL came about, not who
// may do what.
std::wstring DaclOf(const std::wstring& sddl) {
  std::wstring dacl = sddl.substr(std::min(sddl.find(L"D:"), sddl.size()));
  const std::size_t flagsEnd = std::min(dacl.find(L'('), dacl.size());
  if (const std::size_t ai = dacl.substr(0, flagsEnd).find(L"AI"); ai != std::wstring::npos) dacl.erase(ai, 2);
  return dacl;
}

std::wstring OwnerOf(const std::wstring& sddl) { return sddl.substr(0, std::min(sddl.find(L"D:"), sddl.size())); }

LSTATUS CreateKey(const std::wstring& subKey, const wchar_t* sddl, REGSAM access, UniqueRegKey& key,
                  DWORD& disposition) {
  UniqueLocalMemory descriptor = sddl ? Descriptor(sddl) : UniqueLocalMemory();
  SECURITY_ATTRIBUTES attributes{sizeof(SECURITY_ATTRIBUTES), descriptor.Get(), FALSE};
  return os::RegCreateKeyExW(HKEY_LOCAL_MACHINE, (kKey + L"\\" + subKey).c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                             access, sddl ? &attributes : nullptr, key.Put(), &disposition);
}

LSTATUS OpenStatus(const std::wstring& subKey, REGSAM access) {
  UniqueRegKey key;
  return os::RegOpenKeyExW(HKEY_LOCAL_MACHINE, (kKey + L"\\" + subKey).c_str(), 0, access, key.Put());
}

UniqueRegKey Open(const std::wstring& subKey, REGSAM access) {
  UniqueRegKey key;
  EXPECT_EQ(ERROR_SUCCESS,
            os::RegOpenKeyExW(HKEY_LOCAL_MACHINE, (kKey + L"\\" + subKey).c_str(), 0, access, key.Put()));
  return key;
}

// A key with this descriptor, set through RegSetKeySecurity.
void SecureKey(const std::wstring& subKey, const wchar_t* sddl) {
  CreateRegistryKey(kKey + L"\\" + subKey);
  UniqueLocalMemory descriptor = Descriptor(sddl);
  EXPECT_EQ(ERROR_SUCCESS, os::RegSetKeySecurity(Open(subKey, KEY_ALL_ACCESS).Get(), kOwnerAndDacl, descriptor.Get()));
}

using KeySecurity = Conformance;

TEST_F(KeySecurity, KeyCreatedWithADescriptorHasItAndKeepsIt) {
  CreateRegistryKey(kKey);
  KnownWineDifference wine("RegCreateKeyExW ignores lpSecurityAttributes: the key gets Wine's default descriptor");
  UniqueRegKey key;
  DWORD disposition;
  ASSERT_EQ(ERROR_SUCCESS, CreateKey(L"Recovery", kProtected, KEY_READ | KEY_SET_VALUE, key, disposition));
  EXPECT_EQ(static_cast<DWORD>(REG_CREATED_NEW_KEY), disposition);
  std::wstring created = OwnerAndDacl(key.Get());
  EXPECT_EQ(L"O:BA", OwnerOf(created));
  EXPECT_EQ(kProtectedDacl, DaclOf(created));

  // Opening it again with another descriptor leaves its own.
  ASSERT_EQ(ERROR_SUCCESS, CreateKey(L"Recovery", L"O:BAD:(A;;KA;;;WD)", KEY_READ, key, disposition));
  EXPECT_EQ(static_cast<DWORD>(REG_OPENED_EXISTING_KEY), disposition);
  EXPECT_EQ(created, OwnerAndDacl(key.Get()));
}

TEST_F(KeySecurity, KeyCreatedWithoutADescriptorTakesItsParentsInheritableAces) {
  // Users' read is not container-inheritable: it stays with the parent.
  SecureKey(L"Parent", L"O:BAD:P(A;CI;KA;;;SY)(A;CI;KA;;;BA)(A;;KR;;;BU)");
  KnownWineDifference wine("a key created without a descriptor gets Wine's fixed default, nothing of its parent's");
  UniqueRegKey key;
  DWORD disposition;
  ASSERT_EQ(ERROR_SUCCESS, CreateKey(L"Parent\\Child", nullptr, KEY_READ, key, disposition));
  EXPECT_EQ(L"D:(A;CIID;KA;;;SY)(A;CIID;KA;;;BA)", DaclOf(OwnerAndDacl(key.Get())));
}

TEST_F(KeySecurity, GetKeySecurityReportsTheSizeItNeeds) {
  SecureKey(L"Recovery", kProtected);
  UniqueRegKey key = Open(L"Recovery", KEY_READ);
  DWORD needed = 0;
  ASSERT_EQ(ERROR_INSUFFICIENT_BUFFER, os::RegGetKeySecurity(key.Get(), kOwnerAndDacl, nullptr, &needed));
  ASSERT_GT(needed, 0u);
  std::vector<BYTE> descriptor(needed);
  DWORD size = needed - 1;
  EXPECT_EQ(ERROR_INSUFFICIENT_BUFFER, os::RegGetKeySecurity(key.Get(), kOwnerAndDacl, descriptor.data(), &size));
  EXPECT_EQ(needed, size);
  size = needed;
  ASSERT_EQ(ERROR_SUCCESS, os::RegGetKeySecurity(key.Get(), kOwnerAndDacl, descriptor.data(), &size));
  EXPECT_EQ(needed, size);
  EXPECT_EQ(kProtected, ToText(descriptor.data(), kOwnerAndDacl));
}

TEST_F(KeySecurity, SetKeySecurityReplacesThePartsNamed) {
  CreateRegistryKey(kKey + L"\\Recovery");
  UniqueRegKey key = Open(L"Recovery", KEY_ALL_ACCESS);
  UniqueLocalMemory descriptor = Descriptor(kProtected);
  ASSERT_EQ(ERROR_SUCCESS, os::RegSetKeySecurity(key.Get(), kOwnerAndDacl, descriptor.Get()));
  EXPECT_EQ(kProtected, OwnerAndDacl(key.Get()));

  // Only the DACL: the owner stays. (Administrators keep their access, so
  // that the test can delete the key.)
  UniqueLocalMemory administratorsOnly = Descriptor(L"O:SYD:P(A;CI;KA;;;BA)");
  ASSERT_EQ(ERROR_SUCCESS, os::RegSetKeySecurity(key.Get(), DACL_SECURITY_INFORMATION, administratorsOnly.Get()));
  EXPECT_EQ(L"O:BAD:P(A;CI;KA;;;BA)", OwnerAndDacl(key.Get()));
}

TEST_F(KeySecurity, SecurityCallsNeedTheHandlesRights) {
  SecureKey(L"Recovery", kProtected);
  UniqueLocalMemory descriptor = Descriptor(kProtected);
  struct Case {
    const char* what;
    REGSAM access;
    std::function<LSTATUS(HKEY)> call;
  } cases[] = {
      {"reading the DACL without READ_CONTROL", KEY_QUERY_VALUE,
       [](HKEY key) {
         std::vector<BYTE> buffer(4096);
         DWORD size = static_cast<DWORD>(buffer.size());
         return os::RegGetKeySecurity(key, DACL_SECURITY_INFORMATION, buffer.data(), &size);
       }},
      {"reading the SACL without ACCESS_SYSTEM_SECURITY", KEY_READ,
       [](HKEY key) {
         std::vector<BYTE> buffer(4096);
         DWORD size = static_cast<DWORD>(buffer.size());
         return os::RegGetKeySecurity(key, SACL_SECURITY_INFORMATION, buffer.data(), &size);
       }},
      {"setting the DACL without WRITE_DAC", KEY_READ,
       [&](HKEY key) { return os::RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, descriptor.Get()); }},
      {"setting the owner without WRITE_OWNER", KEY_READ | WRITE_DAC,
       [&](HKEY key) { return os::RegSetKeySecurity(key, OWNER_SECURITY_INFORMATION, descriptor.Get()); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(ERROR_ACCESS_DENIED, c.call(Open(L"Recovery", c.access).Get()));
  }
}

TEST_F(KeySecurity, NonElevatedCallerIsRefusedWhatTheDaclDoesNotGrant) {
  SecureKey(L"Recovery", kProtected);
  SecureKey(L"Readable", L"O:BAD:(A;CI;KA;;;BA)(A;CI;KR;;;BU)");
  UniqueRegKey openedBefore = Open(L"Recovery", KEY_SET_VALUE);
  {
    NonElevatedCaller caller;
    struct Case {
      const char* what;
      LSTATUS status;
      std::function<LSTATUS()> call;
    } cases[] = {
        {"opening the protected key to write", ERROR_ACCESS_DENIED,
         [] { return OpenStatus(L"Recovery", KEY_SET_VALUE); }},
        {"opening the protected key to read", ERROR_ACCESS_DENIED, [] { return OpenStatus(L"Recovery", KEY_READ); }},
        {"creating the protected key to write", ERROR_ACCESS_DENIED,
         [] {
           UniqueRegKey key;
           DWORD disposition;
           return CreateKey(L"Recovery", nullptr, KEY_SET_VALUE, key, disposition);
         }},
        {"deleting the protected key", ERROR_ACCESS_DENIED,
         [] { return os::RegDeleteKeyW(HKEY_LOCAL_MACHINE, (kKey + L"\\Recovery").c_str()); }},
        {"opening a key Users may read, to read", ERROR_SUCCESS, [] { return OpenStatus(L"Readable", KEY_READ); }},
        {"opening a key Users may read, to write", ERROR_ACCESS_DENIED,
         [] { return OpenStatus(L"Readable", KEY_SET_VALUE); }},
        // The rights are checked when a key is opened, not at each call.
        {"writing through a handle opened while elevated", ERROR_SUCCESS,
         [&] {
           const DWORD value = 1;
           return os::RegSetValueExW(openedBefore.Get(), L"V", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                                     sizeof value);
         }},
    };
    for (const Case& c : cases) {
      SCOPED_TRACE(c.what);
      EXPECT_EQ(c.status, c.call());
    }
  }
  EXPECT_EQ(ERROR_SUCCESS, OpenStatus(L"Recovery", KEY_SET_VALUE));
}

using SecurityText = Conformance;

TEST_F(SecurityText, ConvertsBothWaysInTheCanonicalForm) {
  struct Case {
    const wchar_t* sddl;
    SECURITY_INFORMATION parts;
    const wchar_t* text;
  } cases[] = {
      {kProtected, kOwnerAndDacl, kProtected},
      {kProtected, DACL_SECURITY_INFORMATION, kProtectedDacl},
      {kProtected, OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION, L"O:BA"},
      // Well-known SIDs by alias, a mask a right's name covers by that name, others in hex.
      {L"O:S-1-5-32-544D:(A;OICI;0xf003f;;;S-1-5-18)(A;;0x1F0003;;;WD)", kOwnerAndDacl,
       L"O:BAD:(A;OICI;KA;;;SY)(A;;0x1f0003;;;WD)"},
      {L"D:", DACL_SECURITY_INFORMATION, L"D:"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "case " << (&c - cases));
    UniqueLocalMemory descriptor = Descriptor(c.sddl);
    LPWSTR text = nullptr;
    ULONG length = 0;
    ASSERT_TRUE(os::ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor.Get(), SDDL_REVISION_1, c.parts,
                                                                         &text, &length));
    UniqueLocalMemory textMemory(text);
    EXPECT_EQ(std::wstring(c.text), text);
    // The length is the buffer's, terminator included.
    EXPECT_EQ(std::wstring(c.text).size() + 1, length);
  }
}

TEST_F(SecurityText, ConversionsFailWithTheDocumentedErrors) {
  UniqueLocalMemory descriptor = Descriptor(kProtected);
  PSECURITY_DESCRIPTOR made = nullptr;
  LPWSTR text = nullptr;
  struct Case {
    const char* what;
    DWORD error;
    std::function<BOOL()> call;
  } cases[] = {
      {"text of an unknown revision", ERROR_UNKNOWN_REVISION,
       [&] { return os::ConvertStringSecurityDescriptorToSecurityDescriptorW(kProtected, 2, &made, nullptr); }},
      {"a descriptor to text of an unknown revision", ERROR_UNKNOWN_REVISION,
       [&] {
         return os::ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor.Get(), 2, kOwnerAndDacl, &text,
                                                                          nullptr);
       }},
      {"text with an unknown component", ERROR_INVALID_PARAMETER,
       [&] { return os::ConvertStringSecurityDescriptorToSecurityDescriptorW(L"X:BA", 1, &made, nullptr); }},
      {"text with an ACE cut short", ERROR_INVALID_ACL,
       [&] { return os::ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:(A;;KA", 1, &made, nullptr); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SetSentinelLastError();
    EXPECT_FALSE(c.call());
    EXPECT_EQ(c.error, os::GetLastError());
  }
}
}  // namespace
}  // namespace conformance
