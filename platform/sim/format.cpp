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

struct Conversion {
  bool left = false, zero = false, blank = false, plus = false, alt = false;
  int width = -1;
  int precision = -1;
  enum { kInt, kShort, kLong64 } size = kInt;
  bool wide = true;  // %s takes a wide string unless h or %S
};

std::wstring FormatOne(const Conversion& conversion, wchar_t type, va_list& args) {
  std::wstring body;
  std::wstring sign;
  std::wstring prefix;
  bool numeric = false;
  switch (type) {
    case L'd':
    case L'i': {
      std::int64_t v = conversion.size == Conversion::kLong64 ? va_arg(args, long long) : va_arg(args, int);
      if (conversion.size == Conversion::kShort) v = static_cast<short>(v);
      std::uint64_t magnitude = v < 0 ? 0 - static_cast<std::uint64_t>(v) : static_cast<std::uint64_t>(v);
      body = Digits(magnitude, 10, false);
      if (v < 0) sign = L"-";
      else if (conversion.plus) sign = L"+";
      else if (conversion.blank) sign = L" ";
      numeric = true;
      break;
    }
    case L'u':
    case L'x':
    case L'X': {
      std::uint64_t v = conversion.size == Conversion::kLong64 ? va_arg(args, unsigned long long) : va_arg(args, unsigned);
      if (conversion.size == Conversion::kShort) v = static_cast<unsigned short>(v);
      body = Digits(v, type == L'u' ? 10 : 16, type == L'X');
      if (conversion.alt && type != L'u' && v != 0) prefix = type == L'X' ? L"0X" : L"0x";
      numeric = true;
      break;
    }
    case L'c':
      body = std::wstring(1, static_cast<wchar_t>(va_arg(args, int)));
      break;
    case L's':
    case L'S': {
      bool wide = type == L's' ? conversion.wide : !conversion.wide;
      if (wide) {
        const wchar_t* s = va_arg(args, const wchar_t*);
        body = s ? s : L"(null)";
      } else {
        const char* s = va_arg(args, const char*);
        if (s == nullptr) s = "(null)";
        for (; *s; ++s) body += static_cast<wchar_t>(static_cast<unsigned char>(*s));
      }
      if (conversion.precision >= 0 && body.size() > static_cast<std::size_t>(conversion.precision))
        body.resize(static_cast<std::size_t>(conversion.precision));
      break;
    }
    default:
      return std::wstring(1, type);
  }
  if (numeric && conversion.precision >= 0) {
    if (conversion.precision == 0 && body == L"0") body.clear();
    if (body.size() < static_cast<std::size_t>(conversion.precision))
      body.insert(0, static_cast<std::size_t>(conversion.precision) - body.size(), L'0');
  }
  std::size_t length = sign.size() + prefix.size() + body.size();
  std::size_t width = conversion.width > 0 ? static_cast<std::size_t>(conversion.width) : 0;
  if (length >= width) return sign + prefix + body;
  std::size_t pad = width - length;
  if (conversion.left) return sign + prefix + body + std::wstring(pad, L' ');
  if (conversion.zero && (!numeric || conversion.precision < 0)) return sign + prefix + std::wstring(pad, L'0') + body;
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
    Conversion conversion;
    for (;; ++p) {
      if (*p == L'-') conversion.left = true;
      else if (*p == L'0') conversion.zero = true;
      else if (*p == L' ') conversion.blank = true;
      else if (*p == L'+') conversion.plus = true;
      else if (*p == L'#') conversion.alt = true;
      else break;
    }
    if (*p == L'*') {
      conversion.width = va_arg(args, int);
      ++p;
    } else {
      for (; *p >= L'0' && *p <= L'9'; ++p) conversion.width = (conversion.width < 0 ? 0 : conversion.width * 10) + (*p - L'0');
    }
    if (*p == L'.') {
      conversion.precision = 0;
      ++p;
      for (; *p >= L'0' && *p <= L'9'; ++p) conversion.precision = conversion.precision * 10 + (*p - L'0');
    }
    if (p[0] == L'I' && p[1] == L'6' && p[2] == L'4') {
      conversion.size = Conversion::kLong64;
      p += 3;
    } else if (p[0] == L'l' && p[1] == L'l') {
      conversion.size = Conversion::kLong64;
      p += 2;
    } else if (*p == L'l') {
      conversion.wide = true;  // long is 32-bit; %ls is a wide string
      ++p;
    } else if (*p == L'h') {
      conversion.size = Conversion::kShort;
      conversion.wide = false;
      ++p;
    }
    if (*p == L'\0') break;
    out += FormatOne(conversion, *p++, args);
  }
  va_end(args);

  std::size_t n = out.size();
  std::size_t copied = n < Count ? n : Count;
  out.copy(Dest, copied);
  if (n < Count) Dest[n] = L'\0';
  return n <= Count ? static_cast<int>(n) : -1;
}
}  // namespace os
