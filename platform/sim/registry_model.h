// The machine's registry: keys with values of any type and size, each with
// its security descriptor.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/sim/kernel.h"
#include "platform/sim/security.h"

namespace sim {

struct CaseInsensitiveLess {
  using is_transparent = void;  // maps look names up without copying them
  bool operator()(std::wstring_view a, std::wstring_view b) const;
};

struct RegValue {
  DWORD type = REG_NONE;
  std::vector<BYTE> data;
};

struct RegKeyNode {
  std::wstring path;  // full path, for the journal
  std::weak_ptr<RegKeyNode> parent;  // empty for the root
  bool deleted = false;  // removed from the tree; open handles to it only fail
  std::map<std::wstring, std::shared_ptr<RegKeyNode>, CaseInsensitiveLess> subkeys;
  std::map<std::wstring, RegValue, CaseInsensitiveLess> values;
  Security security;
};

class RegKeyHandle : public Object {
 public:
  RegKeyHandle(std::shared_ptr<RegKeyNode> keyNode, REGSAM keyAccess) : node(std::move(keyNode)), access(keyAccess) {}
  const char* Kind() const override { return "key"; }
  std::shared_ptr<RegKeyNode> node;
  REGSAM access;
};

class RegistryModel {
 public:
  explicit RegistryModel(Kernel& kernel);

  // Paths start at HKLM, written without the root: L"System\\CurrentControlSet\\...".
  void SetValue(const std::wstring& keyPath, const std::wstring& name, DWORD type, std::vector<BYTE> data);
  void SetDword(const std::wstring& keyPath, const std::wstring& name, DWORD value);
  // A missing key gets the descriptor given, or else the default.
  void CreateKey(const std::wstring& keyPath, const Security* security = nullptr);
  void DeleteKey(const std::wstring& keyPath);
  std::optional<RegValue> Value(const std::wstring& keyPath, const std::wstring& name) const;
  std::optional<DWORD> Dword(const std::wstring& keyPath, const std::wstring& name) const;
  bool KeyExists(const std::wstring& keyPath) const;
  // A key's owner and DACL, as a process that may change them would set them
  // (the key is created as needed), and as SDDL.
  void SetKeySecurity(const std::wstring& keyPath, const std::wstring& sddl);
  std::wstring KeySecurity(const std::wstring& keyPath) const;

  // For the platform side and other models, lock held.
  static std::shared_ptr<RegKeyNode> Find(const std::shared_ptr<RegKeyNode>& from, const std::wstring& subPath);
  // The deepest key along subPath that exists (from itself when the first
  // name is missing); complete: the whole path exists.
  static std::shared_ptr<RegKeyNode> Deepest(const std::shared_ptr<RegKeyNode>& from, const std::wstring& subPath,
                                             bool& complete);
  // Creates what is missing of subPath, for a caller with or without
  // elevation: the last key gets leafSecurity when given; every other new key
  // gets the default (InheritedSecurity).
  static std::shared_ptr<RegKeyNode> Create(const std::shared_ptr<RegKeyNode>& from, const std::wstring& subPath,
                                            bool elevated = true, const Security* leafSecurity = nullptr);
  // Takes the key out of the tree; it and every key below it count as deleted.
  static void Remove(std::shared_ptr<RegKeyNode> node);  // by value: it may be the tree's own reference
  // The key an HKEY names: the root for HKEY_LOCAL_MACHINE, else an open handle.
  std::shared_ptr<RegKeyHandle> Resolve(HKEY key) const;
  static std::vector<BYTE> DwordBytes(DWORD value);
  static std::vector<BYTE> StringBytes(const std::wstring& value);

  std::shared_ptr<RegKeyNode> machineRoot;

 private:
  Kernel& kernel_;
};

}  // namespace sim
