// Registry reads as the settings and the sensor's configuration use them.
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
}  // namespace
}  // namespace conformance
