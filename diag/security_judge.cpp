#include "diag/security_judge.h"

#include <algorithm>
#include <cwchar>
#include <cwctype>
#include <iterator>

#include "platform/sync.h"

namespace {

struct Alias {
  const wchar_t* alias;
  const wchar_t* sid;
  const wchar_t* name;
};
// The well-known accounts SDDL names by alias. An alias of a domain or
// machine account (DA, LA, ...) is left as written: it is no trusted account.
constexpr Alias kAliases[] = {
    {L"SY", L"S-1-5-18", L"SYSTEM"},
    {L"BA", L"S-1-5-32-544", L"Administrators"},
    {L"BU", L"S-1-5-32-545", L"Users"},
    {L"BG", L"S-1-5-32-546", L"Guests"},
    {L"PU", L"S-1-5-32-547", L"Power Users"},
    {L"AO", L"S-1-5-32-548", L"Account Operators"},
    {L"SO", L"S-1-5-32-549", L"Server Operators"},
    {L"PO", L"S-1-5-32-550", L"Print Operators"},
    {L"BO", L"S-1-5-32-551", L"Backup Operators"},
    {L"RE", L"S-1-5-32-552", L"Replicator"},
    {L"RD", L"S-1-5-32-555", L"Remote Desktop Users"},
    {L"WD", L"S-1-1-0", L"Everyone"},
    {L"CO", L"S-1-3-0", L"CREATOR OWNER"},
    {L"CG", L"S-1-3-1", L"CREATOR GROUP"},
    {L"OW", L"S-1-3-4", L"OWNER RIGHTS"},
    {L"NU", L"S-1-5-2", L"NETWORK"},
    {L"IU", L"S-1-5-4", L"INTERACTIVE"},
    {L"SU", L"S-1-5-6", L"SERVICE"},
    {L"AN", L"S-1-5-7", L"ANONYMOUS LOGON"},
    {L"PS", L"S-1-5-10", L"SELF"},
    {L"AU", L"S-1-5-11", L"Authenticated Users"},
    {L"RC", L"S-1-5-12", L"RESTRICTED"},
    {L"LS", L"S-1-5-19", L"LOCAL SERVICE"},
    {L"NS", L"S-1-5-20", L"NETWORK SERVICE"},
    {L"AC", L"S-1-15-2-1", L"ALL APPLICATION PACKAGES"},
};
constexpr wchar_t kSystemSid[] = L"S-1-5-18";
constexpr wchar_t kAdministratorsSid[] = L"S-1-5-32-544";
constexpr wchar_t kTrustedInstallerSid[] = L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";

struct Named {
  const wchar_t* name;
  DWORD value;
};
// Two letters each; a right's letters are the same whatever the object's kind.
constexpr Named kRights[] = {
    {L"GA", GENERIC_ALL},  {L"GR", GENERIC_READ}, {L"GW", GENERIC_WRITE}, {L"GX", GENERIC_EXECUTE},
    {L"RC", READ_CONTROL}, {L"SD", DELETE},       {L"WD", WRITE_DAC},     {L"WO", WRITE_OWNER},
    {L"CC", 0x0001},       {L"DC", 0x0002},       {L"LC", 0x0004},        {L"SW", 0x0008},
    {L"RP", 0x0010},       {L"WP", 0x0020},       {L"DT", 0x0040},        {L"LO", 0x0080},
    {L"CR", 0x0100},       {L"FA", 0x001F01FF},   {L"FR", 0x00120089},    {L"FW", 0x00120116},
    {L"FX", 0x001200A0},   {L"KA", 0x000F003F},   {L"KR", 0x00020019},    {L"KW", 0x00020006},
    {L"KX", 0x00020019},   {L"NR", 0x0001},       {L"NW", 0x0002},        {L"NX", 0x0004},
};
constexpr const wchar_t* kAceFlags[] = {L"OI", L"CI", L"NP", L"IO", L"ID", L"SA", L"FA", L"TP", L"CR"};
constexpr const wchar_t* kAllowTypes[] = {L"A", L"OA", L"XA", L"ZA"};
constexpr const wchar_t* kOtherTypes[] = {L"D", L"OD", L"XD", L"AU", L"AL", L"OU", L"OL", L"ML", L"SP", L"RA", L"XU"};
constexpr std::wstring_view kNullAcl = L"NO_ACCESS_CONTROL";

bool StartsWith(std::wstring_view text, std::wstring_view prefix) { return text.substr(0, prefix.size()) == prefix; }

template <std::size_t N>
bool Listed(std::wstring_view text, const wchar_t* const (&list)[N]) {
  return std::find(std::begin(list), std::end(list), text) != std::end(list);
}

// Where the parenthesised text starting at `open` ends (past its ")"), with
// nested parentheses (a conditional ACE's expression); npos when unclosed.
std::size_t ClosingParenthesis(std::wstring_view text, std::size_t open) {
  int depth = 0;
  for (std::size_t i = open; i < text.size(); ++i) {
    if (text[i] == L'(') ++depth;
    if (text[i] == L')' && --depth == 0) return i + 1;
  }
  return std::wstring_view::npos;
}

// Where the component starting at `at` ends: at the next "O:", "G:", "D:" or
// "S:" outside an ACE, or at the end.
std::size_t ComponentEnd(std::wstring_view text, std::size_t at) {
  for (std::size_t i = at; i < text.size(); ++i) {
    if (text[i] == L'(') {
      i = ClosingParenthesis(text, i);
      if (i == std::wstring_view::npos) return text.size();
      --i;
    } else if (i + 1 < text.size() && text[i + 1] == L':' && std::wcschr(L"OGDS", text[i]) != nullptr) {
      return i;
    }
  }
  return text.size();
}

std::optional<std::wstring> ParseAccount(std::wstring_view text) {
  if (StartsWith(text, L"S-1-")) {
    const bool wellFormed =
        std::all_of(text.begin() + 4, text.end(), [](wchar_t c) { return std::iswdigit(c) || c == L'-'; });
    if (!wellFormed || text.back() == L'-') return std::nullopt;
    return std::wstring(text);
  }
  if (text.size() != 2 || !std::iswupper(text[0]) || !std::iswupper(text[1])) return std::nullopt;
  for (const Alias& a : kAliases)
    if (text == a.alias) return std::wstring(a.sid);
  return std::wstring(text);
}

std::optional<ACCESS_MASK> ParseRights(std::wstring_view text) {
  if (text.empty()) return std::nullopt;
  if (std::iswdigit(text[0])) {
    const std::wstring number(text);
    wchar_t* end = nullptr;
    const unsigned long value = std::wcstoul(number.c_str(), &end, 0);
    if (*end != L'\0') return std::nullopt;
    return static_cast<ACCESS_MASK>(value);
  }
  ACCESS_MASK rights = 0;
  for (; text.size() >= 2; text.remove_prefix(2)) {
    auto right = std::find_if(std::begin(kRights), std::end(kRights),
                              [&](const Named& r) { return text.substr(0, 2) == r.name; });
    if (right == std::end(kRights)) return std::nullopt;
    rights |= right->value;
  }
  if (!text.empty()) return std::nullopt;
  return rights;
}

// "type;flags;rights;object guid;inherited object guid;account[;condition]",
// without its parentheses.
std::optional<SecurityAce> ParseAce(std::wstring_view text) {
  std::wstring_view fields[6];
  for (std::size_t i = 0; i < 6; ++i) {
    const std::size_t semicolon = text.find(L';');
    if (semicolon == std::wstring_view::npos && i < 5) return std::nullopt;
    fields[i] = text.substr(0, semicolon);
    text.remove_prefix(semicolon == std::wstring_view::npos ? text.size() : semicolon + 1);
  }
  SecurityAce ace;
  ace.allow = Listed(fields[0], kAllowTypes);
  if (!ace.allow && !Listed(fields[0], kOtherTypes)) return std::nullopt;
  for (std::wstring_view flags = fields[1]; !flags.empty(); flags.remove_prefix(2)) {
    if (flags.size() < 2 || !Listed(flags.substr(0, 2), kAceFlags)) return std::nullopt;
    if (flags.substr(0, 2) == L"IO") ace.inheritOnly = true;
  }
  auto rights = ParseRights(fields[2]);
  auto account = ParseAccount(fields[5]);
  if (!rights || !account) return std::nullopt;
  ace.rights = *rights;
  ace.account = *account;
  return ace;
}

bool ParseDacl(std::wstring_view text, SecurityText& security) {
  security.daclPresent = true;
  for (;;) {
    if (StartsWith(text, kNullAcl)) {
      security.nullDacl = true;
      text.remove_prefix(kNullAcl.size());
    } else if (StartsWith(text, L"AI") || StartsWith(text, L"AR")) {
      text.remove_prefix(2);
    } else if (StartsWith(text, L"P")) {
      text.remove_prefix(1);
    } else {
      break;
    }
  }
  while (!text.empty()) {
    const std::size_t end = text[0] == L'(' ? ClosingParenthesis(text, 0) : std::wstring_view::npos;
    if (end == std::wstring_view::npos) return false;
    auto ace = ParseAce(text.substr(1, end - 2));
    if (!ace) return false;
    security.aces.push_back(*ace);
    text.remove_prefix(end);
  }
  return true;
}
}  // namespace

std::optional<SecurityText> ParseSecurityText(std::wstring_view sddl) {
  SecurityText security;
  bool group = false, sacl = false;
  for (std::size_t at = 0; at < sddl.size();) {
    if (at + 1 >= sddl.size() || sddl[at + 1] != L':') return std::nullopt;
    const wchar_t tag = sddl[at];
    const std::size_t end = ComponentEnd(sddl, at + 2);
    const std::wstring_view value = sddl.substr(at + 2, end - at - 2);
    at = end;
    switch (tag) {
      case L'O':
        if (security.owner) return std::nullopt;
        security.owner = ParseAccount(value);
        if (!security.owner) return std::nullopt;
        break;
      case L'G':
        if (group || !ParseAccount(value)) return std::nullopt;
        group = true;
        break;
      case L'D':
        if (security.daclPresent || !ParseDacl(value, security)) return std::nullopt;
        break;
      case L'S':
        if (sacl) return std::nullopt;
        sacl = true;
        break;
      default:
        return std::nullopt;
    }
  }
  return security;
}

bool IsTrustedAccount(std::wstring_view account) {
  return account == kSystemSid || account == kAdministratorsSid || account == kTrustedInstallerSid;
}

std::optional<Distrust> JudgeSecurity(std::wstring_view sddl, ACCESS_MASK changeRights) {
  const auto security = ParseSecurityText(sddl);
  if (!security) return Distrust{Distrust::Reason::kUnreadable, L""};
  if (!security->owner || !IsTrustedAccount(*security->owner))
    return Distrust{Distrust::Reason::kOwner, security->owner.value_or(L"")};
  if (!security->daclPresent || security->nullDacl) return Distrust{Distrust::Reason::kNoDacl, L""};
  for (const SecurityAce& ace : security->aces)
    if (ace.allow && !ace.inheritOnly && (ace.rights & changeRights) != 0 && !IsTrustedAccount(ace.account))
      return Distrust{Distrust::Reason::kWriter, ace.account};
  return std::nullopt;
}

std::wstring AccountText(const std::wstring& account) {
  if (account == kTrustedInstallerSid) return L"TrustedInstaller (" + account + L")";
  for (const Alias& a : kAliases)
    if (account == a.sid) return std::wstring(a.name) + L" (" + account + L")";
  return account;
}

std::wstring DistrustText(const Distrust& distrust) {
  switch (distrust.reason) {
    case Distrust::Reason::kUnreadable:
      return L"has a security descriptor that cannot be read";
    case Distrust::Reason::kOwner:
      return distrust.account.empty() ? L"has no owner" : L"is owned by " + AccountText(distrust.account);
    case Distrust::Reason::kNoDacl:
      return L"may be changed by anyone (it has no access control list)";
    case Distrust::Reason::kWriter:
      return L"may be changed by " + AccountText(distrust.account);
  }
  return {};
}

std::optional<std::wstring> SecurityDescriptorText(PSECURITY_DESCRIPTOR descriptor, SECURITY_INFORMATION parts) {
  LPWSTR text = nullptr;
  if (!os::ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor, SDDL_REVISION_1, parts, &text, nullptr))
    return std::nullopt;
  UniqueLocalMemory textMemory(text);
  return std::wstring(text);
}
