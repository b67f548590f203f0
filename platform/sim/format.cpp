// The C runtime's wide formatter in Microsoft's conventions, for the subset of
// conversions the system uses: flags - 0 blank + #, width, precision, the
// length prefixes h l ll I64, and d i u x X c s S %.
#include <cstdint>
#include <string>

#include "platform/diagnostics.h"

namespace {

std::wstring Digits(std::uint64_t value, unsigned base, bool upper) {
  const wchar_t* digits = upper ? L"0123456789ABCDEF" : L"0123456789abcdef";
  std::wstring out;
  do {
    out.insert(out.begin(), digits[value % base]);
    value /= base;
  } while (value != 0);
  return out;
}

struct Spec {
  bool left = false, zero = false, blank = false, plus = false, alt = false;
  int width = -1;
  int precision = -1;
  enum { kInt, kShort, kLong64 } size = kInt;
  bool wide = true;  // %s takes a wide string unless h or %S
};

std::wstring FormatOne(const Spec& spec, wchar_t conversion, va_list& args) {
  std::wstring body;
  std::wstring sign;
  std::wstring prefix;
  bool numeric = false;
  switch (conversion) {
    case L'd':
    case L'i': {
      std::int64_t v = spec.size == Spec::kLong64 ? va_arg(args, long long) : va_arg(args, int);
      if (spec.size == Spec::kShort) v = static_cast<short>(v);
      std::uint64_t magnitude = v < 0 ? 0 - static_cast<std::uint64_t>(v) : static_cast<std::uint64_t>(v);
      body = Digits(magnitude, 10, false);
      if (v < 0) sign = L"-";
      else if (spec.plus) sign = L"+";
      else if (spec.blank) sign = L" ";
      numeric = true;
      break;
    }
    case L'u':
    case L'x':
    case L'X': {
      std::uint64_t v = spec.size == Spec::kLong64 ? va_arg(args, unsigned long long) : va_arg(args, unsigned);
      if (spec.size == Spec::kShort) v = static_cast<unsigned short>(v);
      body = Digits(v, conversion == L'u' ? 10 : 16, conversion == L'X');
      if (spec.alt && conversion != L'u' && v != 0) prefix = conversion == L'X' ? L"0X" : L"0x";
      numeric = true;
      break;
    }
    case L'c':
      body = std::wstring(1, static_cast<wchar_t>(va_arg(args, int)));
      break;
    case L's':
    case L'S': {
      bool wide = conversion == L's' ? spec.wide : !spec.wide;
      if (wide) {
        const wchar_t* s = va_arg(args, const wchar_t*);
        body = s ? s : L"(null)";
      } else {
        const char* s = va_arg(args, const char*);
        if (s == nullptr) s = "(null)";
        for (; *s; ++s) body += static_cast<wchar_t>(static_cast<unsigned char>(*s));
      }
      if (spec.precision >= 0 && body.size() > static_cast<std::size_t>(spec.precision))
        body.resize(static_cast<std::size_t>(spec.precision));
      break;
    }
    default:
      return std::wstring(1, conversion);
  }
  if (numeric && spec.precision >= 0) {
    if (spec.precision == 0 && body == L"0") body.clear();
    if (body.size() < static_cast<std::size_t>(spec.precision))
      body.insert(0, static_cast<std::size_t>(spec.precision) - body.size(), L'0');
  }
  std::size_t length = sign.size() + prefix.size() + body.size();
  std::size_t width = spec.width > 0 ? static_cast<std::size_t>(spec.width) : 0;
  if (length >= width) return sign + prefix + body;
  std::size_t pad = width - length;
  if (spec.left) return sign + prefix + body + std::wstring(pad, L' ');
  if (spec.zero && (!numeric || spec.precision < 0)) return sign + prefix + std::wstring(pad, L'0') + body;
  return std::wstring(pad, L' ') + sign + prefix + body;
}

}  // namespace

namespace os {
int _vsnwprintf(wchar_t* Dest, size_t Count, const wchar_t* Format, va_list Args) {
  va_list args;
  va_copy(args, Args);
  std::wstring out;
  for (const wchar_t* p = Format; *p;) {
    if (*p != L'%') {
      out += *p++;
      continue;
    }
    ++p;
    if (*p == L'%') {
      out += *p++;
      continue;
    }
    Spec spec;
    for (;; ++p) {
      if (*p == L'-') spec.left = true;
      else if (*p == L'0') spec.zero = true;
      else if (*p == L' ') spec.blank = true;
      else if (*p == L'+') spec.plus = true;
      else if (*p == L'#') spec.alt = true;
      else break;
    }
    if (*p == L'*') {
      spec.width = va_arg(args, int);
      ++p;
    } else {
      for (; *p >= L'0' && *p <= L'9'; ++p) spec.width = (spec.width < 0 ? 0 : spec.width * 10) + (*p - L'0');
    }
    if (*p == L'.') {
      spec.precision = 0;
      ++p;
      for (; *p >= L'0' && *p <= L'9'; ++p) spec.precision = spec.precision * 10 + (*p - L'0');
    }
    if (p[0] == L'I' && p[1] == L'6' && p[2] == L'4') {
      spec.size = Spec::kLong64;
      p += 3;
    } else if (p[0] == L'l' && p[1] == L'l') {
      spec.size = Spec::kLong64;
      p += 2;
    } else if (*p == L'l') {
      spec.wide = true;  // long is 32-bit; %ls is a wide string
      ++p;
    } else if (*p == L'h') {
      spec.size = Spec::kShort;
      spec.wide = false;
      ++p;
    }
    if (*p == L'\0') break;
    out += FormatOne(spec, *p++, args);
  }
  va_end(args);

  std::size_t n = out.size();
  std::size_t copied = n < Count ? n : Count;
  out.copy(Dest, copied);
  if (n < Count) Dest[n] = L'\0';
  return n <= Count ? static_cast<int>(n) : -1;
}
}  // namespace os
