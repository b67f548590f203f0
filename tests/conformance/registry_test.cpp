// Registry reads as the settings and the sensor's configuration use them, and
// the key creation and deletion that install and remove do for the event sources.
#include <cstring>

#include "platform/registry.h"
#include "tests/conformance/side.h"

namespace conformance {
namespace {
const std::wstring kKey = L"Software\\ZefoConformance\\Registry";

class Registry : public Conformance {
 protected:
  UniqueRegKey Open() {
    UniqueRegKey key;
    EXPECT_EQ(ERROR_SUCCESS, os::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kKey.c_str(), 0, KEY_READ, key.Put()));
    return key;
  }
  // Reads a value into a 4-byte data area, as the settings do.
  LSTATUS QueryInto4BytesOf(const wchar_t* name, DWORD& type, DWORD& data, DWORD& size) {
    UniqueRegKey key = Open();
    type = 0xBAD;
    data = 0xDEADBEEF;
    size = sizeof data;
    return os::RegQueryValueExW(key.Get(), name, nullptr, &type, reinterpret_cast<BYTE*>(&data), &size);
  }
};

TEST_F(Registry, MissingKeyIsFileNotFoundForBothOpens) {
  UniqueRegKey key;
  EXPECT_EQ(ERROR_FILE_NOT_FOUND,
            os::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software\\ZefoConformance\\Absent", 0, KEY_READ, key.Put()));
  EXPECT_FALSE(key);
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, os::RegOpenKeyW(HKEY_LOCAL_MACHINE, L"Software\\ZefoConformance\\Absent", key.Put()));
  EXPECT_FALSE(key);
}

// What the recovery record's link check relies on: an ordinary key opened as
// a link is the key itself, with no SymbolicLinkValue.
TEST_F(Registry, OpeningAnOrdinaryKeyAsALinkOpensTheKey) {
  SetRegistryValue(kKey, L"Value", REG_DWORD, BytesOf("\1\0\0\0", 4));
  UniqueRegKey key;
  ASSERT_EQ(ERROR_SUCCESS,
            os::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kKey.c_str(), REG_OPTION_OPEN_LINK, KEY_QUERY_VALUE, key.Put()));
  DWORD type = REG_NONE, size = 0;
  EXPECT_EQ(ERROR_SUCCESS, os::RegQueryValueExW(key.Get(), L"Value", nullptr, &type, nullptr, &size));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, os::RegQueryValueExW(key.Get(), L"SymbolicLinkValue", nullptr, &type, nullptr, &size));
}

TEST_F(Registry, MissingValueIsFileNotFound) {
  CreateRegistryKey(kKey);
  DWORD type, data, size;
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, QueryInto4BytesOf(L"Absent", type, data, size));
}

TEST_F(Registry, ValuesReadIntoAFourByteArea) {
  const DWORD dword = 0xFFFFFFFF;
  const BYTE binary[4] = {1, 2, 3, 4};
  const unsigned long long qword = 5;
  const wchar_t oneChar[] = L"5";
  const wchar_t longText[] = L"1234";
  SetRegistryValue(kKey, L"Dword", REG_DWORD, BytesOf(&dword, sizeof dword));
  SetRegistryValue(kKey, L"Binary", REG_BINARY, BytesOf(binary, sizeof binary));
  SetRegistryValue(kKey, L"Qword", REG_QWORD, BytesOf(&qword, sizeof qword));
  SetRegistryValue(kKey, L"OneChar", REG_SZ, BytesOf(oneChar, sizeof oneChar));
  SetRegistryValue(kKey, L"LongText", REG_SZ, BytesOf(longText, sizeof longText));
  SetRegistryValue(kKey, L"Empty", REG_BINARY, {});

  struct Case {
    const wchar_t* name;
    std::size_t storedSize;
    LSTATUS status;
    DWORD type;  // checked on success
  } cases[] = {
      {L"Dword", sizeof dword, ERROR_SUCCESS, REG_DWORD},
      {L"Binary", sizeof binary, ERROR_SUCCESS, REG_BINARY},
      {L"Qword", sizeof qword, ERROR_MORE_DATA, REG_QWORD},
      // Two UTF-16 characters fit where a wider wchar_t does not.
      {L"OneChar", sizeof oneChar, sizeof oneChar <= 4 ? ERROR_SUCCESS : ERROR_MORE_DATA, REG_SZ},
      {L"LongText", sizeof longText, ERROR_MORE_DATA, REG_SZ},
      {L"Empty", 0, ERROR_SUCCESS, REG_BINARY},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "value " << std::wstring(c.name).size() << " chars, stored " << c.storedSize);
    DWORD type, data, size;
    ASSERT_EQ(c.status, QueryInto4BytesOf(c.name, type, data, size));
    // Success or not, the size field says how much the value holds.
    EXPECT_EQ(c.storedSize, size);
    if (c.status == ERROR_SUCCESS) {
      EXPECT_EQ(c.type, type);
    }
  }
  DWORD type, data, size;
  ASSERT_EQ(ERROR_SUCCESS, QueryInto4BytesOf(L"Dword", type, data, size));
  EXPECT_EQ(0xFFFFFFFFu, data);
  ASSERT_EQ(ERROR_SUCCESS, QueryInto4BytesOf(L"Binary", type, data, size));
  EXPECT_EQ(0, std::memcmp(&data, binary, sizeof binary));
}

TEST_F(Registry, QueryWithoutTypeAndSetOfADword) {
  CreateRegistryKey(kKey);
  UniqueRegKey key;
  ASSERT_EQ(ERROR_SUCCESS, os::RegOpenKeyW(HKEY_LOCAL_MACHINE, kKey.c_str(), key.Put()));
  const DWORD written = 1;
  ASSERT_EQ(ERROR_SUCCESS, os::RegSetValueExW(key.Get(), L"SecureFingerprint", 0, REG_DWORD,
                                              reinterpret_cast<const BYTE*>(&written), sizeof written));
  DWORD read = 0, size = sizeof read;
  ASSERT_EQ(ERROR_SUCCESS, os::RegQueryValueExW(key.Get(), L"SecureFingerprint", nullptr, nullptr,
                                                reinterpret_cast<BYTE*>(&read), &size));
  EXPECT_EQ(1u, read);
  EXPECT_EQ(sizeof read, size);
}

TEST_F(Registry, ReadOnlyKeyRefusesWrites) {
  CreateRegistryKey(kKey);
  UniqueRegKey key;
  ASSERT_EQ(ERROR_SUCCESS, os::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kKey.c_str(), 0, KEY_READ, key.Put()));
  const DWORD value = 1;
  EXPECT_EQ(ERROR_ACCESS_DENIED, os::RegSetValueExW(key.Get(), L"V", 0, REG_DWORD,
                                                    reinterpret_cast<const BYTE*>(&value), sizeof value));
}

// Creates (or opens) the key under kKey with these rights.
LSTATUS CreateUnder(const std::wstring& subKey, REGSAM access, UniqueRegKey& key, DWORD& disposition) {
  disposition = 0xBAD;
  return os::RegCreateKeyExW(HKEY_LOCAL_MACHINE, (kKey + L"\\" + subKey).c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                             access, nullptr, key.Put(), &disposition);
}

bool KeyExists(const std::wstring& keyPath) {
  UniqueRegKey key;
  return os::RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, KEY_READ, key.Put()) == ERROR_SUCCESS;
}

TEST_F(Registry, CreateKeyMakesTheMissingPathThenOpensWhatIsThere) {
  CreateRegistryKey(kKey);
  UniqueRegKey key;
  DWORD disposition;
  ASSERT_EQ(ERROR_SUCCESS, CreateUnder(L"Made\\Below", KEY_SET_VALUE, key, disposition));
  EXPECT_EQ(static_cast<DWORD>(REG_CREATED_NEW_KEY), disposition);
  const DWORD value = 7;
  ASSERT_EQ(ERROR_SUCCESS,
            os::RegSetValueExW(key.Get(), L"V", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value));
  key.Close();

  ASSERT_EQ(ERROR_SUCCESS, CreateUnder(L"Made\\Below", KEY_QUERY_VALUE, key, disposition));
  EXPECT_EQ(static_cast<DWORD>(REG_OPENED_EXISTING_KEY), disposition);
  DWORD read = 0, size = sizeof read;
  ASSERT_EQ(ERROR_SUCCESS, os::RegQueryValueExW(key.Get(), L"V", nullptr, nullptr, reinterpret_cast<BYTE*>(&read), &size));
  EXPECT_EQ(7u, read);
}

TEST_F(Registry, CreatedKeyHasOnlyTheRightsAskedFor) {
  CreateRegistryKey(kKey);
  UniqueRegKey key;
  DWORD disposition;
  ASSERT_EQ(ERROR_SUCCESS, CreateUnder(L"ReadOnly", KEY_READ, key, disposition));
  const DWORD value = 1;
  EXPECT_EQ(ERROR_ACCESS_DENIED,
            os::RegSetValueExW(key.Get(), L"V", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value));
}

TEST_F(Registry, CreateKeyWithReservedSetIsAnInvalidParameter) {
  CreateRegistryKey(kKey);
  UniqueRegKey key;
  EXPECT_EQ(ERROR_INVALID_PARAMETER, os::RegCreateKeyExW(HKEY_LOCAL_MACHINE, (kKey + L"\\Reserved").c_str(), 1, nullptr,
                                                         REG_OPTION_NON_VOLATILE, KEY_READ, nullptr, key.Put(),
                                                         nullptr));
  EXPECT_FALSE(KeyExists(kKey + L"\\Reserved"));
}

// Event source names hold a slash and blanks: one key each, not a path.
TEST_F(Registry, ASlashIsPartOfTheKeyName) {
  CreateRegistryKey(kKey);
  for (const wchar_t* name : {L"ZEFO/Service", L"ZEFO / Debug"}) {
    UniqueRegKey key;
    DWORD disposition;
    ASSERT_EQ(ERROR_SUCCESS, CreateUnder(name, KEY_SET_VALUE, key, disposition));
    EXPECT_EQ(static_cast<DWORD>(REG_CREATED_NEW_KEY), disposition);
    EXPECT_TRUE(KeyExists(kKey + L"\\" + name));
  }
  EXPECT_FALSE(KeyExists(kKey + L"\\ZEFO"));
  EXPECT_FALSE(KeyExists(kKey + L"\\ZEFO "));
}

TEST_F(Registry, DeleteKeyRemovesOneLeafWithItsValues) {
  SetRegistryValue(kKey + L"\\Leaf", L"V", REG_SZ, BytesOf(L"x", sizeof L"x"));
  CreateRegistryKey(kKey + L"\\Sibling");
  EXPECT_EQ(ERROR_SUCCESS, os::RegDeleteKeyW(HKEY_LOCAL_MACHINE, (kKey + L"\\Leaf").c_str()));
  EXPECT_FALSE(KeyExists(kKey + L"\\Leaf"));
  EXPECT_TRUE(KeyExists(kKey + L"\\Sibling"));
  EXPECT_TRUE(KeyExists(kKey));
  // A second time there is nothing to delete; a recreated key has no values.
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, os::RegDeleteKeyW(HKEY_LOCAL_MACHINE, (kKey + L"\\Leaf").c_str()));
  UniqueRegKey key;
  DWORD disposition;
  ASSERT_EQ(ERROR_SUCCESS, CreateUnder(L"Leaf", KEY_READ, key, disposition));
  EXPECT_EQ(static_cast<DWORD>(REG_CREATED_NEW_KEY), disposition);
  DWORD size = 0;
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, os::RegQueryValueExW(key.Get(), L"V", nullptr, nullptr, nullptr, &size));
}

TEST_F(Registry, DeleteKeyRefusesAKeyWithSubkeys) {
  CreateRegistryKey(kKey + L"\\Parent\\Child");
  EXPECT_EQ(ERROR_ACCESS_DENIED, os::RegDeleteKeyW(HKEY_LOCAL_MACHINE, (kKey + L"\\Parent").c_str()));
  EXPECT_TRUE(KeyExists(kKey + L"\\Parent\\Child"));
}

TEST_F(Registry, DeleteKeyNeedsNoRightsOnTheKeyItIsRelativeTo) {
  CreateRegistryKey(kKey + L"\\Leaf");
  UniqueRegKey parent = Open();
  EXPECT_EQ(ERROR_SUCCESS, os::RegDeleteKeyW(parent.Get(), L"Leaf"));
  EXPECT_FALSE(KeyExists(kKey + L"\\Leaf"));
}

TEST_F(Registry, AHandleToADeletedKeyFailsWithKeyDeleted) {
  CreateRegistryKey(kKey);
  UniqueRegKey key;
  DWORD disposition;
  ASSERT_EQ(ERROR_SUCCESS, CreateUnder(L"Doomed", KEY_ALL_ACCESS, key, disposition));
  ASSERT_EQ(ERROR_SUCCESS, os::RegDeleteKeyW(HKEY_LOCAL_MACHINE, (kKey + L"\\Doomed").c_str()));
  const DWORD value = 1;
  EXPECT_EQ(ERROR_KEY_DELETED,
            os::RegSetValueExW(key.Get(), L"V", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value));
  EXPECT_FALSE(KeyExists(kKey + L"\\Doomed"));
}
}  // namespace
}  // namespace conformance
