#include "platform/sim/security.h"

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <cwctype>
#include <iterator>

namespace sim {
namespace {

struct Alias {
  const wchar_t* alias;
  const wchar_t* sid;
};
// The SID strings the system's descriptors name, with their SDDL aliases.
constexpr Alias kAliases[] = {
    {L"SY", L"S-1-5-18"},     {L"BA", L"S-1-5-32-544"}, {L"BU", L"S-1-5-32-545"}, {L"BG", L"S-1-5-32-546"},
    {L"PU", L"S-1-5-32-547"}, {L"WD", L"S-1-1-0"},      {L"CO", L"S-1-3-0"},      {L"CG", L"S-1-3-1"},
    {L"OW", L"S-1-3-4"},      {L"IU", L"S-1-5-4"},      {L"SU", L"S-1-5-6"},      {L"AN", L"S-1-5-7"},
    {L"AU", L"S-1-5-11"},     {L"RC", L"S-1-5-12"},     {L"LS", L"S-1-5-19"},     {L"NS", L"S-1-5-20"},
    {L"AC", L"S-1-15-2-1"},
};

// The user a non-elevated caller stands for.
constexpr wchar_t kUserSid[] = L"S-1-5-21-1000-1000-1000-1001";

struct Named {
  const wchar_t* name;
  DWORD value;
};
// Whole masks first: a mask one of them names is written by that name.
constexpr Named kRights[] = {
    {L"KA", KEY_ALL_ACCESS}, {L"KR", KEY_READ},   {L"KW", KEY_WRITE},    {L"KX", KEY_EXECUTE},
    {L"FA", 0x001F01FF},     {L"FR", 0x00120089}, {L"FW", 0x00120116},   {L"FX", 0x001200A0},
    {L"GA", GENERIC_ALL},    {L"GR", GENERIC_READ}, {L"GW", GENERIC_WRITE}, {L"GX", GENERIC_EXECUTE},
    {L"SD", DELETE},         {L"RC", READ_CONTROL}, {L"WD", WRITE_DAC},  {L"WO", WRITE_OWNER},
    {L"CC", 0x0001},         {L"DC", 0x0002},     {L"LC", 0x0004},       {L"SW", 0x0008},
    {L"RP", 0x0010},         {L"WP", 0x0020},     {L"DT", 0x0040},       {L"LO", 0x0080},
    {L"CR", 0x0100},
};
// In the order SDDL writes them.
constexpr Named kAceFlags[] = {
    {L"OI", OBJECT_INHERIT_ACE}, {L"CI", CONTAINER_INHERIT_ACE}, {L"NP", NO_PROPAGATE_INHERIT_ACE},
    {L"IO", INHERIT_ONLY_ACE},   {L"ID", INHERITED_ACE},
};
constexpr Named kAclFlags[] = {
    {L"P", SE_DACL_PROTECTED}, {L"AR", SE_DACL_AUTO_INHERIT_REQ}, {L"AI", SE_DACL_AUTO_INHERITED}};
constexpr wchar_t kNullAcl[] = L"NO_ACCESS_CONTROL";

bool StartsWith(std::wstring_view text, std::wstring_view prefix) { return text.substr(0, prefix.size()) == prefix; }

// Where the component starting at `at` ends: at the next "O:", "G:", "D:" or
// "S:" outside an ACE, or at the end.
std::size_t ComponentEnd(std::wstring_view text, std::size_t at) {
  for (std::size_t i = at; i < text.size(); ++i) {
    if (text[i] == L'(') {
      i = text.find(L')', i);
      if (i == std::wstring_view::npos) return text.size();
    } else if (i + 1 < text.size() && text[i + 1] == L':' && std::wcschr(L"OGDS", text[i]) != nullptr) {
      return i;
    }
  }
  return text.size();
}

// An account as SDDL names it: the alias of a well-known SID, else the SID.
std::optional<std::wstring> ParseAccount(std::wstring_view text) {
  if (StartsWith(text, L"S-1-")) {
    const bool wellFormed =
        std::all_of(text.begin() + 4, text.end(), [](wchar_t c) { return std::iswdigit(c) || c == L'-'; });
    if (!wellFormed || text.back() == L'-') return std::nullopt;
    for (const Alias& a : kAliases)
      if (text == a.sid) return std::wstring(a.alias);
    return std::wstring(text);
  }
  for (const Alias& a : kAliases)
    if (text == a.alias) return std::wstring(text);
  return std::nullopt;
}

// The table's name the text starts with; null when none.
template <std::size_t N>
const Named* NameAt(std::wstring_view text, const Named (&table)[N]) {
  auto it = std::find_if(std::begin(table), std::end(table), [&](const Named& n) { return StartsWith(text, n.name); });
  return it == std::end(table) ? nullptr : it;
}

// Names from the table, one after the other; false at anything else.
template <std::size_t N>
bool ParseNames(std::wstring_view text, const Named (&table)[N], DWORD& value) {
  value = 0;
  while (!text.empty()) {
    const Named* name = NameAt(text, table);
    if (name == nullptr) return false;
    value |= name->value;
    text.remove_prefix(std::wcslen(name->name));
  }
  return true;
}

bool ParseRights(std::wstring_view text, ACCESS_MASK& rights) {
  if (text.empty()) return false;
  if (std::iswdigit(text[0])) {
    const std::wstring number(text);
    wchar_t* end = nullptr;
    rights = static_cast<ACCESS_MASK>(std::wcstoul(number.c_str(), &end, 0));
    return *end == L'\0';
  }
  return ParseNames(text, kRights, rights);
}

// "(type;flags;rights;object guid;inherited object guid;account)"; the
// machine knows allow and deny ACEs only.
std::optional<Ace> ParseAce(std::wstring_view text) {
  std::vector<std::wstring_view> fields;
  for (std::size_t start = 0;;) {
    const std::size_t semicolon = text.find(L';', start);
    fields.push_back(text.substr(start, semicolon == std::wstring_view::npos ? semicolon : semicolon - start));
    if (semicolon == std::wstring_view::npos) break;
    start = semicolon + 1;
  }
  if (fields.size() != 6 || (fields[0] != L"A" && fields[0] != L"D") || !fields[3].empty() || !fields[4].empty())
    return std::nullopt;
  Ace ace;
  ace.allow = fields[0] == L"A";
  DWORD flags;
  if (!ParseNames(fields[1], kAceFlags, flags) || !ParseRights(fields[2], ace.rights)) return std::nullopt;
  ace.flags = static_cast<BYTE>(flags);
  auto account = ParseAccount(fields[5]);
  if (!account) return std::nullopt;
  ace.account = *account;
  return ace;
}

std::optional<Acl> ParseAcl(std::wstring_view text) {
  Acl acl;
  for (;;) {
    if (StartsWith(text, kNullAcl)) {
      acl.null = true;
      text.remove_prefix(std::wcslen(kNullAcl));
      continue;
    }
    const Named* flag = NameAt(text, kAclFlags);
    if (flag == nullptr) break;
    acl.control |= static_cast<WORD>(flag->value);
    text.remove_prefix(std::wcslen(flag->name));
  }
  while (!text.empty()) {
    const std::size_t close = text.find(L')');
    if (text[0] != L'(' || close == std::wstring_view::npos) return std::nullopt;
    auto ace = ParseAce(text.substr(1, close - 1));
    if (!ace) return std::nullopt;
    acl.aces.push_back(*ace);
    text.remove_prefix(close + 1);
  }
  if (acl.null && !acl.aces.empty()) return std::nullopt;
  return acl;
}

std::wstring Hex(DWORD value) {
  wchar_t text[16];
  std::swprintf(text, std::size(text), L"0x%x", value);
  return text;
}

std::wstring RightsText(ACCESS_MASK rights) {
  for (const Named& n : kRights)
    if (n.value == rights) return n.name;
  return Hex(rights);
}

template <std::size_t N>
std::wstring NamesText(DWORD value, const Named (&table)[N]) {
  std::wstring text;
  for (const Named& n : table)
    if (value & n.value) text += n.name;
  return text;
}

std::wstring AclText(const Acl& acl) {
  std::wstring text = NamesText(acl.control, kAclFlags);
  if (acl.null) text += kNullAcl;
  for (const Ace& ace : acl.aces) {
    text += L'(';
    text += ace.allow ? L"A" : L"D";
    text += L';' + NamesText(ace.flags, kAceFlags) + L';' + RightsText(ace.rights) + L";;;" + ace.account + L')';
  }
  return text;
}

// The caller's groups: those its allow ACEs may match, and those only deny
// ACEs match (a restricted token's deny-only Administrators).
bool Holds(bool elevated, const std::wstring& account, bool forDeny) {
  static const std::wstring_view kElevated[] = {L"SY", L"BA", L"BU", L"AU", L"WD"};
  static const std::wstring_view kUser[] = {kUserSid, L"BU", L"AU", L"WD"};
  if (elevated) return std::find(std::begin(kElevated), std::end(kElevated), account) != std::end(kElevated);
  if (forDeny && account == L"BA") return true;
  return std::find(std::begin(kUser), std::end(kUser), account) != std::end(kUser);
}

}  // namespace

std::wstring DefaultOwner(bool elevated) { return elevated ? L"BA" : kUserSid; }

std::optional<Security> ParseSddl(std::wstring_view text, DWORD& error) {
  Security security;
  for (std::size_t at = 0; at < text.size();) {
    error = ERROR_INVALID_PARAMETER;
    if (at + 1 >= text.size() || text[at + 1] != L':') return std::nullopt;
    const wchar_t tag = text[at];
    const std::size_t end = ComponentEnd(text, at + 2);
    const std::wstring_view value = text.substr(at + 2, end - at - 2);
    at = end;
    switch (tag) {
      case L'O':
      case L'G': {
        std::optional<std::wstring>& account = tag == L'O' ? security.owner : security.group;
        if (account) return std::nullopt;
        account = ParseAccount(value);
        error = ERROR_INVALID_SID;
        if (!account) return std::nullopt;
        break;
      }
      case L'D':
        if (security.dacl) return std::nullopt;
        security.dacl = ParseAcl(value);
        error = ERROR_INVALID_ACL;
        if (!security.dacl) return std::nullopt;
        break;
      case L'S':
        if (security.sacl) return std::nullopt;
        security.sacl = std::wstring(value);
        break;
      default:
        return std::nullopt;
    }
  }
  return security;
}

Security PartsOf(const Security& security, SECURITY_INFORMATION parts) {
  Security only;
  if (parts & OWNER_SECURITY_INFORMATION) only.owner = security.owner;
  if (parts & GROUP_SECURITY_INFORMATION) only.group = security.group;
  if (parts & DACL_SECURITY_INFORMATION) only.dacl = security.dacl;
  if (parts & SACL_SECURITY_INFORMATION) only.sacl = security.sacl;
  return only;
}

std::wstring ToSddl(const Security& security, SECURITY_INFORMATION parts) {
  const Security only = PartsOf(security, parts);
  std::wstring text;
  if (only.owner) text += L"O:" + *only.owner;
  if (only.group) text += L"G:" + *only.group;
  if (only.dacl) text += L"D:" + AclText(*only.dacl);
  if (only.sacl) text += L"S:" + *only.sacl;
  return text;
}

std::vector<BYTE> SelfRelative(const Security& security) {
  SECURITY_DESCRIPTOR header{};
  header.Revision = SECURITY_DESCRIPTOR_REVISION;
  header.Control = SE_SELF_RELATIVE;
  if (security.dacl) header.Control |= SE_DACL_PRESENT | security.dacl->control;
  if (security.sacl) header.Control |= SE_SACL_PRESENT;
  const std::wstring text = ToSddl(security);
  std::vector<BYTE> bytes(sizeof header + (text.size() + 1) * sizeof(wchar_t));
  std::memcpy(bytes.data(), &header, sizeof header);
  std::memcpy(bytes.data() + sizeof header, text.c_str(), (text.size() + 1) * sizeof(wchar_t));
  return bytes;
}

std::optional<Security> ReadDescriptor(const void* descriptor) {
  const BYTE* bytes = static_cast<const BYTE*>(descriptor);
  SECURITY_DESCRIPTOR header;
  std::memcpy(&header, bytes, sizeof header);
  if (header.Revision != SECURITY_DESCRIPTOR_REVISION || !(header.Control & SE_SELF_RELATIVE)) return std::nullopt;
  std::wstring text;
  for (const BYTE* at = bytes + sizeof header;; at += sizeof(wchar_t)) {
    wchar_t c;
    std::memcpy(&c, at, sizeof c);
    if (c == L'\0') break;
    text += c;
  }
  DWORD error;
  return ParseSddl(text, error);
}

ACCESS_MASK MapGeneric(ACCESS_MASK rights, const GenericMapping& mapping) {
  ACCESS_MASK mapped = rights & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
  if (rights & GENERIC_READ) mapped |= mapping.read;
  if (rights & GENERIC_WRITE) mapped |= mapping.write;
  if (rights & GENERIC_EXECUTE) mapped |= mapping.execute;
  if (rights & GENERIC_ALL) mapped |= mapping.all;
  return mapped;
}

ACCESS_MASK GrantedAccess(const Security& security, bool elevated, const GenericMapping& mapping) {
  if (!security.dacl || security.dacl->null) return mapping.all;
  ACCESS_MASK granted = 0, denied = 0;
  if (security.owner && Holds(elevated, *security.owner, false)) granted |= READ_CONTROL | WRITE_DAC;
  // In order: the first ACE to decide a right decides it.
  for (const Ace& ace : security.dacl->aces) {
    if ((ace.flags & INHERIT_ONLY_ACE) || !Holds(elevated, ace.account, !ace.allow)) continue;
    const ACCESS_MASK rights = MapGeneric(ace.rights, mapping);
    if (ace.allow)
      granted |= rights & ~denied;
    else
      denied |= rights & ~granted;
  }
  return granted & mapping.all;
}

bool MayOwn(bool elevated, const std::wstring& owner) {
  return elevated ? owner == L"BA" || owner == L"SY" : owner == kUserSid;
}

Security InheritedSecurity(const Security& parent, bool container, bool elevated) {
  Security child;
  child.owner = DefaultOwner(elevated);
  child.group = parent.group;
  // Under an object without restrictions, none are inherited.
  if (!parent.dacl || parent.dacl->null) {
    child.dacl = Acl{0, true, {}};
    return child;
  }
  child.dacl = Acl{SE_DACL_AUTO_INHERITED, false, {}};
  for (const Ace& ace : parent.dacl->aces) {
    const bool stops = ace.flags & NO_PROPAGATE_INHERIT_ACE;
    const bool applies = ace.flags & (container ? CONTAINER_INHERIT_ACE : OBJECT_INHERIT_ACE);
    const bool passesThrough = container && !applies && (ace.flags & OBJECT_INHERIT_ACE) && !stops;
    if (!applies && !passesThrough) continue;
    Ace inherited = ace;
    // An ACE that does not propagate, or reaches a file, stops here; one
    // that applied to what lies below only applies here too.
    if (passesThrough)
      inherited.flags = OBJECT_INHERIT_ACE | INHERIT_ONLY_ACE;
    else
      inherited.flags = static_cast<BYTE>(stops || !container ? 0 : ace.flags & ~INHERIT_ONLY_ACE);
    inherited.flags |= INHERITED_ACE;
    if (ace.account == L"CO" && !passesThrough) {
      if (inherited.flags & (OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE)) {
        Ace below = inherited;
        below.flags |= INHERIT_ONLY_ACE;
        child.dacl->aces.push_back(below);
      }
      inherited.flags = INHERITED_ACE;
      inherited.account = *child.owner;
    }
    child.dacl->aces.push_back(inherited);
  }
  return child;
}

Security MachineRootKeySecurity() {
  DWORD error;
  return *ParseSddl(L"O:BAG:SYD:PAI(A;CI;KR;;;BU)(A;CI;KA;;;BA)(A;CI;KA;;;SY)", error);
}

}  // namespace sim
