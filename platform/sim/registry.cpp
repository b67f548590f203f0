#include "platform/registry.h"

#include <cstring>
#include <cwctype>
#include <optional>
#include <stdexcept>

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
  machineRoot->security = MachineRootKeySecurity();
}

std::shared_ptr<RegKeyNode> RegistryModel::Deepest(const std::shared_ptr<RegKeyNode>& from, const std::wstring& subPath,
                                                   bool& complete) {
  const std::shared_ptr<RegKeyNode>* found = &from;
  std::wstring_view rest = subPath;
  complete = false;
  while (!rest.empty()) {
    const std::size_t separator = rest.find(L'\\');
    const std::wstring_view part = rest.substr(0, separator);
    rest = separator == std::wstring_view::npos ? std::wstring_view() : rest.substr(separator + 1);
    if (part.empty()) continue;
    auto it = (*found)->subkeys.find(part);
    if (it == (*found)->subkeys.end()) return *found;
    found = &it->second;
  }
  complete = true;
  return *found;
}

std::shared_ptr<RegKeyNode> RegistryModel::Find(const std::shared_ptr<RegKeyNode>& from, const std::wstring& subPath) {
  bool complete;
  auto deepest = Deepest(from, subPath, complete);
  return complete ? deepest : nullptr;
}

std::shared_ptr<RegKeyNode> RegistryModel::Create(const std::shared_ptr<RegKeyNode>& from, const std::wstring& subPath,
                                                  bool elevated, const Security* leafSecurity) {
  std::shared_ptr<RegKeyNode> node = from;
  const std::vector<std::wstring> parts = SplitPath(subPath);
  for (std::size_t i = 0; i < parts.size(); ++i) {
    auto& child = node->subkeys[parts[i]];
    if (!child) {
      child = std::make_shared<RegKeyNode>();
      child->path = node->path + L"\\" + parts[i];
      child->parent = node;
      const bool leaf = i + 1 == parts.size();
      child->security = leaf && leafSecurity ? *leafSecurity : InheritedSecurity(node->security, true, elevated);
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
void RegistryModel::CreateKey(const std::wstring& keyPath, const Security* security) {
  auto lock = kernel_.Lock();
  Create(machineRoot, keyPath, true, security);
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
void RegistryModel::SetKeySecurity(const std::wstring& keyPath, const std::wstring& sddl) {
  auto lock = kernel_.Lock();
  DWORD error;
  auto security = ParseSddl(sddl, error);
  if (!security) throw std::invalid_argument("not SDDL the machine reads");
  Create(machineRoot, keyPath)->security = *security;
}
std::wstring RegistryModel::KeySecurity(const std::wstring& keyPath) const {
  auto lock = kernel_.Lock();
  auto node = Find(machineRoot, keyPath);
  return node ? ToSddl(node->security, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION) : L"";
}

}  // namespace sim

namespace os {
namespace {
bool CallerElevated(sim::Machine& m) { return m.kernel.CurrentThread()->elevated; }

// The rights a handle to the existing key gets when opened for `desired`
// (MAXIMUM_ALLOWED: whatever the key's DACL grants); none when the DACL
// refuses any of them.
std::optional<REGSAM> OpenedAccess(sim::Machine& m, const sim::RegKeyNode& node, REGSAM desired) {
  const ACCESS_MASK granted = sim::GrantedAccess(node.security, CallerElevated(m), sim::kKeyMapping);
  const ACCESS_MASK wanted = sim::MapGeneric(desired & ~MAXIMUM_ALLOWED, sim::kKeyMapping);
  if ((wanted & ~granted) != 0 || ((desired & MAXIMUM_ALLOWED) && granted == 0)) return std::nullopt;
  return desired & MAXIMUM_ALLOWED ? granted : wanted;
}

HKEY InsertHandle(sim::Machine& m, std::shared_ptr<sim::RegKeyNode> node, REGSAM access) {
  return reinterpret_cast<HKEY>(m.kernel.Insert(std::make_shared<sim::RegKeyHandle>(std::move(node), access)));
}

LSTATUS OpenKey(const char* op, HKEY hKey, LPCWSTR lpSubKey, REGSAM desired, PHKEY phkResult) {
  sim::Machine& m = sim::Machine::Current();
  auto lock = m.kernel.Lock();
  if (phkResult == nullptr) return ERROR_INVALID_PARAMETER;
  if (auto fault = m.kernel.TakeFault(op, -1, lpSubKey ? lpSubKey : L"")) return static_cast<LSTATUS>(*fault);
  auto parent = m.registry.Resolve(hKey);
  if (!parent) return ERROR_INVALID_HANDLE;
  if (parent->node->deleted) return ERROR_KEY_DELETED;
  auto node = sim::RegistryModel::Find(parent->node, lpSubKey ? lpSubKey : L"");
  if (!node) return ERROR_FILE_NOT_FOUND;
  auto access = OpenedAccess(m, *node, desired);
  if (!access) return ERROR_ACCESS_DENIED;
  *phkResult = InsertHandle(m, node, *access);
  return ERROR_SUCCESS;
}
}  // namespace

LSTATUS RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD, REGSAM samDesired, PHKEY phkResult) {
  return OpenKey("RegOpenKeyExW", hKey, lpSubKey, samDesired, phkResult);
}

LSTATUS RegOpenKeyW(HKEY hKey, LPCWSTR lpSubKey, PHKEY phkResult) {
  // Opens with the caller's full rights; never creates the key.
  return OpenKey("RegOpenKeyW", hKey, lpSubKey, MAXIMUM_ALLOWED, phkResult);
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

// An existing key keeps its own security; a new one gets the descriptor
// given, or the default.
LSTATUS RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD Reserved, LPWSTR, DWORD, REGSAM samDesired,
                        LPSECURITY_ATTRIBUTES lpSecurityAttributes, PHKEY phkResult, LPDWORD lpdwDisposition) {
  sim::Machine& m = sim::Machine::Current();
  auto lock = m.kernel.Lock();
  if (Reserved != 0 || phkResult == nullptr) return ERROR_INVALID_PARAMETER;
  const std::wstring subKey = lpSubKey ? lpSubKey : L"";
  if (auto fault = m.kernel.TakeFault("RegCreateKeyExW", -1, subKey)) return static_cast<LSTATUS>(*fault);
  auto parent = m.registry.Resolve(hKey);
  if (!parent) return ERROR_INVALID_HANDLE;
  if (parent->node->deleted) return ERROR_KEY_DELETED;
  bool existed;
  auto deepest = sim::RegistryModel::Deepest(parent->node, subKey, existed);
  if (existed) {
    auto access = OpenedAccess(m, *deepest, samDesired);
    if (!access) return ERROR_ACCESS_DENIED;
    if (lpdwDisposition) *lpdwDisposition = REG_OPENED_EXISTING_KEY;
    *phkResult = InsertHandle(m, deepest, *access);
    return ERROR_SUCCESS;
  }
  // The key the new path starts under must let the caller make subkeys.
  const bool elevated = CallerElevated(m);
  if (!(sim::GrantedAccess(deepest->security, elevated, sim::kKeyMapping) & KEY_CREATE_SUB_KEY))
    return ERROR_ACCESS_DENIED;
  std::optional<sim::Security> given;
  if (lpSecurityAttributes && lpSecurityAttributes->lpSecurityDescriptor) {
    given = sim::ReadDescriptor(lpSecurityAttributes->lpSecurityDescriptor);
    if (!given) return ERROR_INVALID_PARAMETER;
  }
  auto node = sim::RegistryModel::Create(parent->node, subKey, elevated, given ? &*given : nullptr);
  if (lpdwDisposition) *lpdwDisposition = REG_CREATED_NEW_KEY;
  // Its creator gets the rights it asked for, whatever the new descriptor says.
  const REGSAM wanted = sim::MapGeneric(samDesired & ~MAXIMUM_ALLOWED, sim::kKeyMapping);
  *phkResult = InsertHandle(m, node, samDesired & MAXIMUM_ALLOWED ? KEY_ALL_ACCESS : wanted);
  m.kernel.Record(sim::JournalKind::kRegistry,
                  L"RegCreateKeyExW " + node->path + (given ? L" = " + sim::ToSddl(*given) : L""));
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
  if (!OpenedAccess(m, *node, DELETE)) return ERROR_ACCESS_DENIED;
  // A key with subkeys, and a root, cannot be deleted.
  if (!node->subkeys.empty() || node == m.registry.machineRoot) return ERROR_ACCESS_DENIED;
  sim::RegistryModel::Remove(node);
  m.kernel.Record(sim::JournalKind::kRegistry, L"RegDeleteKeyW " + node->path);
  return ERROR_SUCCESS;
}

namespace {
// The rights a handle needs to read or change these parts of a descriptor.
ACCESS_MASK SecurityRights(SECURITY_INFORMATION parts, bool change) {
  ACCESS_MASK rights = 0;
  if (parts & (OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION)) rights |= change ? WRITE_OWNER : READ_CONTROL;
  if (parts & DACL_SECURITY_INFORMATION) rights |= change ? WRITE_DAC : READ_CONTROL;
  if (parts & SACL_SECURITY_INFORMATION) rights |= ACCESS_SYSTEM_SECURITY;
  return rights;
}
}  // namespace

LSTATUS RegGetKeySecurity(HKEY hKey, SECURITY_INFORMATION SecurityInformation, PSECURITY_DESCRIPTOR pSecurityDescriptor,
                          LPDWORD lpcbSecurityDescriptor) {
  sim::Machine& m = sim::Machine::Current();
  auto lock = m.kernel.Lock();
  if (lpcbSecurityDescriptor == nullptr) return ERROR_INVALID_PARAMETER;
  if (auto fault = m.kernel.TakeFault("RegGetKeySecurity")) return static_cast<LSTATUS>(*fault);
  auto key = m.registry.Resolve(hKey);
  if (!key) return ERROR_INVALID_HANDLE;
  if (key->node->deleted) return ERROR_KEY_DELETED;
  if (SecurityRights(SecurityInformation, false) & ~key->access) return ERROR_ACCESS_DENIED;
  const std::vector<BYTE> bytes = sim::SelfRelative(sim::PartsOf(key->node->security, SecurityInformation));
  const DWORD size = static_cast<DWORD>(bytes.size());
  if (pSecurityDescriptor == nullptr || *lpcbSecurityDescriptor < size) {
    *lpcbSecurityDescriptor = size;
    return ERROR_INSUFFICIENT_BUFFER;
  }
  std::memcpy(pSecurityDescriptor, bytes.data(), size);
  *lpcbSecurityDescriptor = size;
  return ERROR_SUCCESS;
}

LSTATUS RegSetKeySecurity(HKEY hKey, SECURITY_INFORMATION SecurityInformation,
                          PSECURITY_DESCRIPTOR pSecurityDescriptor) {
  sim::Machine& m = sim::Machine::Current();
  auto lock = m.kernel.Lock();
  if (pSecurityDescriptor == nullptr) return ERROR_INVALID_PARAMETER;
  if (auto fault = m.kernel.TakeFault("RegSetKeySecurity")) return static_cast<LSTATUS>(*fault);
  auto key = m.registry.Resolve(hKey);
  if (!key) return ERROR_INVALID_HANDLE;
  if (key->node->deleted) return ERROR_KEY_DELETED;
  auto given = sim::ReadDescriptor(pSecurityDescriptor);
  if (!given) return ERROR_INVALID_PARAMETER;
  if (SecurityRights(SecurityInformation, true) & ~key->access) return ERROR_ACCESS_DENIED;
  if ((SecurityInformation & OWNER_SECURITY_INFORMATION) &&
      (!given->owner || !sim::MayOwn(CallerElevated(m), *given->owner)))
    return ERROR_INVALID_OWNER;
  sim::Security& security = key->node->security;
  if (SecurityInformation & OWNER_SECURITY_INFORMATION) security.owner = given->owner;
  if (SecurityInformation & GROUP_SECURITY_INFORMATION) security.group = given->group;
  // A descriptor without a DACL sets none: a null DACL.
  if (SecurityInformation & DACL_SECURITY_INFORMATION)
    security.dacl = given->dacl ? *given->dacl : sim::Acl{0, true, {}};
  if (SecurityInformation & SACL_SECURITY_INFORMATION) security.sacl = given->sacl;
  m.kernel.Record(sim::JournalKind::kRegistry,
                  L"RegSetKeySecurity " + key->node->path + L" = " + sim::ToSddl(*given, SecurityInformation));
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
