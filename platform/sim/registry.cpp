#include "platform/registry.h"

#include <cstring>
#include <cwctype>

#include "platform/sim/machine.h"

namespace sim {

namespace {
// Registry names are mostly ASCII, and every lookup compares many of them.
wint_t Upper(wchar_t c) {
  if (c >= L'a' && c <= L'z') return static_cast<wint_t>(c - L'a' + L'A');
  return c < 0x80 ? static_cast<wint_t>(c) : std::towupper(c);
}
}  // namespace

bool CaseInsensitiveLess::operator()(std::wstring_view a, std::wstring_view b) const {
  std::size_t n = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < n; ++i) {
    wint_t x = Upper(a[i]), y = Upper(b[i]);
    if (x != y) return x < y;
  }
  return a.size() < b.size();
}

namespace {
std::vector<std::wstring> SplitPath(const std::wstring& path) {
  std::vector<std::wstring> parts;
  std::wstring part;
  for (wchar_t c : path) {
    if (c == L'\\') {
      if (!part.empty()) parts.push_back(part);
      part.clear();
    } else {
      part += c;
    }
  }
  if (!part.empty()) parts.push_back(part);
  return parts;
}
}  // namespace

RegistryModel::RegistryModel(Kernel& kernel) : machineRoot(std::make_shared<RegKeyNode>()), kernel_(kernel) {
  machineRoot->path = L"HKLM";
}

std::shared_ptr<RegKeyNode> RegistryModel::Find(const std::shared_ptr<RegKeyNode>& from, const std::wstring& subPath) {
  const RegKeyNode* node = from.get();
  const std::shared_ptr<RegKeyNode>* found = &from;
  std::wstring_view rest = subPath;
  while (!rest.empty()) {
    const std::size_t separator = rest.find(L'\\');
    const std::wstring_view part = rest.substr(0, separator);
    rest = separator == std::wstring_view::npos ? std::wstring_view() : rest.substr(separator + 1);
    if (part.empty()) continue;
    auto it = node->subkeys.find(part);
    if (it == node->subkeys.end()) return nullptr;
    found = &it->second;
    node = found->get();
  }
  return *found;
}

std::shared_ptr<RegKeyNode> RegistryModel::Create(const std::shared_ptr<RegKeyNode>& from,
                                                  const std::wstring& subPath) {
  std::shared_ptr<RegKeyNode> node = from;
  for (const std::wstring& part : SplitPath(subPath)) {
    auto& child = node->subkeys[part];
    if (!child) {
      child = std::make_shared<RegKeyNode>();
      child->path = node->path + L"\\" + part;
      child->parent = node;
    }
    node = child;
  }
  return node;
}

namespace {
void MarkDeleted(RegKeyNode& node) {
  node.deleted = true;
  for (auto& entry : node.subkeys) MarkDeleted(*entry.second);
}
}  // namespace

void RegistryModel::Remove(std::shared_ptr<RegKeyNode> node) {
  if (auto parent = node->parent.lock()) {
    for (auto it = parent->subkeys.begin(); it != parent->subkeys.end(); ++it) {
      if (it->second == node) {
        parent->subkeys.erase(it);
        break;
      }
    }
  }
  MarkDeleted(*node);
}

std::shared_ptr<RegKeyHandle> RegistryModel::Resolve(HKEY key) const {
  if (key == HKEY_LOCAL_MACHINE) return std::make_shared<RegKeyHandle>(machineRoot, KEY_ALL_ACCESS);
  return kernel_.FindAs<RegKeyHandle>(reinterpret_cast<HANDLE>(key));
}

std::vector<BYTE> RegistryModel::DwordBytes(DWORD value) {
  std::vector<BYTE> bytes(sizeof value);
  std::memcpy(bytes.data(), &value, sizeof value);
  return bytes;
}

std::vector<BYTE> RegistryModel::StringBytes(const std::wstring& value) {
  std::vector<BYTE> bytes((value.size() + 1) * sizeof(wchar_t));
  std::memcpy(bytes.data(), value.c_str(), bytes.size());
  return bytes;
}

void RegistryModel::SetValue(const std::wstring& keyPath, const std::wstring& name, DWORD type,
                             std::vector<BYTE> data) {
  auto lock = kernel_.Lock();
  Create(machineRoot, keyPath)->values[name] = RegValue{type, std::move(data)};
}
void RegistryModel::SetDword(const std::wstring& keyPath, const std::wstring& name, DWORD value) {
  SetValue(keyPath, name, REG_DWORD, DwordBytes(value));
}
void RegistryModel::CreateKey(const std::wstring& keyPath) {
  auto lock = kernel_.Lock();
  Create(machineRoot, keyPath);
}
void RegistryModel::DeleteKey(const std::wstring& keyPath) {
  auto lock = kernel_.Lock();
  std::vector<std::wstring> parts = SplitPath(keyPath);
  if (parts.empty()) return;
  std::wstring leaf = parts.back();
  parts.pop_back();
  std::wstring parentPath;
  for (const std::wstring& p : parts) parentPath += p + L"\\";
  auto parent = Find(machineRoot, parentPath);
  if (!parent) return;
  auto it = parent->subkeys.find(leaf);
  if (it != parent->subkeys.end()) Remove(it->second);
}
std::optional<RegValue> RegistryModel::Value(const std::wstring& keyPath, const std::wstring& name) const {
  auto lock = kernel_.Lock();
  auto node = Find(machineRoot, keyPath);
  if (!node) return std::nullopt;
  auto it = node->values.find(name);
  if (it == node->values.end()) return std::nullopt;
  return it->second;
}
std::optional<DWORD> RegistryModel::Dword(const std::wstring& keyPath, const std::wstring& name) const {
  auto value = Value(keyPath, name);
  if (!value || value->type != REG_DWORD || value->data.size() != sizeof(DWORD)) return std::nullopt;
  DWORD result;
  std::memcpy(&result, value->data.data(), sizeof result);
  return result;
}
bool RegistryModel::KeyExists(const std::wstring& keyPath) const {
  auto lock = kernel_.Lock();
  return Find(machineRoot, keyPath) != nullptr;
}

}  // namespace sim

namespace os {
namespace {
LSTATUS OpenKey(const char* op, HKEY hKey, LPCWSTR lpSubKey, REGSAM access, PHKEY phkResult) {
  sim::Machine& m = sim::Machine::Current();
  auto lock = m.kernel.Lock();
  if (phkResult == nullptr) return ERROR_INVALID_PARAMETER;
  if (auto fault = m.kernel.TakeFault(op)) return static_cast<LSTATUS>(*fault);
  auto parent = m.registry.Resolve(hKey);
  if (!parent) return ERROR_INVALID_HANDLE;
  if (parent->node->deleted) return ERROR_KEY_DELETED;
  auto node = sim::RegistryModel::Find(parent->node, lpSubKey ? lpSubKey : L"");
  if (!node) return ERROR_FILE_NOT_FOUND;
  *phkResult = reinterpret_cast<HKEY>(m.kernel.Insert(std::make_shared<sim::RegKeyHandle>(node, access)));
  return ERROR_SUCCESS;
}
}  // namespace

LSTATUS RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD, REGSAM samDesired, PHKEY phkResult) {
  return OpenKey("RegOpenKeyExW", hKey, lpSubKey, samDesired, phkResult);
}

LSTATUS RegOpenKeyW(HKEY hKey, LPCWSTR lpSubKey, PHKEY phkResult) {
  // Opens with the caller's full rights; never creates the key.
  return OpenKey("RegOpenKeyW", hKey, lpSubKey, KEY_ALL_ACCESS, phkResult);
}

LSTATUS RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                         LPDWORD lpcbData) {
  sim::Machine& m = sim::Machine::Current();
  auto lock = m.kernel.Lock();
  if (lpReserved != nullptr || (lpData != nullptr && lpcbData == nullptr)) return ERROR_INVALID_PARAMETER;
  if (auto fault = m.kernel.TakeFault("RegQueryValueExW", -1, lpValueName ? lpValueName : L""))
    return static_cast<LSTATUS>(*fault);
  auto key = m.registry.Resolve(hKey);
  if (!key) return ERROR_INVALID_HANDLE;
  if (!(key->access & KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
  if (key->node->deleted) return ERROR_KEY_DELETED;
  auto it = key->node->values.find(lpValueName ? lpValueName : L"");
  if (it == key->node->values.end()) return ERROR_FILE_NOT_FOUND;
  const sim::RegValue& value = it->second;
  DWORD size = static_cast<DWORD>(value.data.size());
  if (lpType) *lpType = value.type;
  if (lpData == nullptr) {
    if (lpcbData) *lpcbData = size;
    return ERROR_SUCCESS;
  }
  if (*lpcbData < size) {
    *lpcbData = size;
    return ERROR_MORE_DATA;
  }
  // An empty value has no bytes to copy (and no storage to copy from).
  if (size > 0) std::memcpy(lpData, value.data.data(), size);
  *lpcbData = size;
  return ERROR_SUCCESS;
}

LSTATUS RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD Reserved, DWORD dwType, const BYTE* lpData,
                       DWORD cbData) {
  sim::Machine& m = sim::Machine::Current();
  auto lock = m.kernel.Lock();
  if (Reserved != 0 || (lpData == nullptr && cbData != 0)) return ERROR_INVALID_PARAMETER;
  std::wstring name = lpValueName ? lpValueName : L"";
  if (auto fault = m.kernel.TakeFault("RegSetValueExW", -1, name)) return static_cast<LSTATUS>(*fault);
  auto key = m.registry.Resolve(hKey);
  if (!key) return ERROR_INVALID_HANDLE;
  if (!(key->access & KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
  if (key->node->deleted) return ERROR_KEY_DELETED;
  key->node->values[name] = sim::RegValue{dwType, std::vector<BYTE>(lpData, lpData + cbData)};
  std::wstring detail = key->node->path + L"\\" + name + L" type " + std::to_wstring(dwType);
  if (dwType == REG_DWORD && cbData == sizeof(DWORD)) {
    DWORD v;
    std::memcpy(&v, lpData, sizeof v);
    detail += L" = " + std::to_wstring(v);
  }
  m.kernel.Record(sim::JournalKind::kRegistry, L"RegSetValueExW " + detail);
  return ERROR_SUCCESS;
}

LSTATUS RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD Reserved, LPWSTR, DWORD, REGSAM samDesired,
                        LPSECURITY_ATTRIBUTES, PHKEY phkResult, LPDWORD lpdwDisposition) {
  sim::Machine& m = sim::Machine::Current();
  auto lock = m.kernel.Lock();
  if (Reserved != 0 || phkResult == nullptr) return ERROR_INVALID_PARAMETER;
  const std::wstring subKey = lpSubKey ? lpSubKey : L"";
  if (auto fault = m.kernel.TakeFault("RegCreateKeyExW", -1, subKey)) return static_cast<LSTATUS>(*fault);
  auto parent = m.registry.Resolve(hKey);
  if (!parent) return ERROR_INVALID_HANDLE;
  if (parent->node->deleted) return ERROR_KEY_DELETED;
  const bool existed = sim::RegistryModel::Find(parent->node, subKey) != nullptr;
  auto node = sim::RegistryModel::Create(parent->node, subKey);
  if (lpdwDisposition) *lpdwDisposition = existed ? REG_OPENED_EXISTING_KEY : REG_CREATED_NEW_KEY;
  *phkResult = reinterpret_cast<HKEY>(m.kernel.Insert(std::make_shared<sim::RegKeyHandle>(node, samDesired)));
  if (!existed) m.kernel.Record(sim::JournalKind::kRegistry, L"RegCreateKeyExW " + node->path);
  return ERROR_SUCCESS;
}

LSTATUS RegDeleteKeyW(HKEY hKey, LPCWSTR lpSubKey) {
  sim::Machine& m = sim::Machine::Current();
  auto lock = m.kernel.Lock();
  if (lpSubKey == nullptr) return ERROR_INVALID_PARAMETER;
  if (auto fault = m.kernel.TakeFault("RegDeleteKeyW", -1, lpSubKey)) return static_cast<LSTATUS>(*fault);
  // The rights of hKey do not matter; the key itself is opened for deletion.
  auto parent = m.registry.Resolve(hKey);
  if (!parent) return ERROR_INVALID_HANDLE;
  if (parent->node->deleted) return ERROR_KEY_DELETED;
  auto node = sim::RegistryModel::Find(parent->node, lpSubKey);
  if (!node) return ERROR_FILE_NOT_FOUND;
  // A key with subkeys, and a root, cannot be deleted.
  if (!node->subkeys.empty() || node == m.registry.machineRoot) return ERROR_ACCESS_DENIED;
  sim::RegistryModel::Remove(node);
  m.kernel.Record(sim::JournalKind::kRegistry, L"RegDeleteKeyW " + node->path);
  return ERROR_SUCCESS;
}

LSTATUS RegCloseKey(HKEY hKey) {
  sim::Machine& m = sim::Machine::Current();
  auto lock = m.kernel.LockForRelease();
  if (hKey == HKEY_LOCAL_MACHINE) return ERROR_SUCCESS;
  if (!m.kernel.FindAs<sim::RegKeyHandle>(reinterpret_cast<HANDLE>(hKey))) return ERROR_INVALID_HANDLE;
  m.kernel.Close(reinterpret_cast<HANDLE>(hKey));
  return ERROR_SUCCESS;
}
}  // namespace os
