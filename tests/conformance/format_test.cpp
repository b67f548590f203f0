// The message formatter with every conversion the system's messages use, and
// its behaviour at the end of the buffer.
#include <climits>
#include <string>

#include "platform/diagnostics.h"
#include "tests/conformance/side.h"

namespace conformance {
namespace {
// Formats into a buffer of count characters followed by guard characters;
// gives the result and the whole buffer, guards included.
struct Formatted {
  int result;
  std::wstring buffer;
};
Formatted FormatInto(std::size_t count, const wchar_t* format, ...) {
  std::wstring buffer(count + 4, L'#');
  va_list args;
  va_start(args, format);
  int result = os::_vsnwprintf(&buffer[0], count, format, args);
  va_end(args);
  return {result, buffer};
}

std::wstring Format(const wchar_t* format, ...) {
  wchar_t buffer[256];
  va_list args;
  va_start(args, format);
  int result = os::_vsnwprintf(buffer, 255, format, args);
  va_end(args);
  buffer[255] = L'\0';
  return result < 0 ? L"<overflow>" : std::wstring(buffer);
}


using Formatter = Conformance;

TEST_F(Formatter, RendersTheConversionsTheMessagesUse) {
  const DWORD code = 0x431;
  struct Case {
    const char* format;
    std::wstring actual;
    const wchar_t* expected;
  } cases[] = {
      {"%s wide", Format(L"[%s]", L"ZEFOTestService"), L"[ZEFOTestService]"},
      {"%s empty", Format(L"[%s]", L""), L"[]"},
      {"%d negative", Format(L"%d", -5), L"-5"},
      {"%d smallest", Format(L"%d", INT_MIN), L"-2147483648"},
      {"%d of a DWORD above INT_MAX", Format(L"%d", 0xE0000204u), L"-536870396"},
      {"%X", Format(L"%X", 0xabcdefu), L"ABCDEF"},
      {"%.8X", Format(L"0x%.8X", 0x1Fu), L"0x0000001F"},
      {"%.8X full", Format(L"0x%.8X", 0xE000020Eu), L"0xE000020E"},
      {"%08lx", Format(L"0x%08lx", code), L"0x00000431"},
      {"%08lx full", Format(L"0x%08lx", 0xFFFFFFFFu), L"0xffffffff"},
      {"%02d", Format(L"%02d/%02d", 3, 17), L"03/17"},
      {"%02d wider than 2", Format(L"%02d", 123), L"123"},
      {"%03d", Format(L"'%03d", 7), L"'007"},
      {"% d positive", Format(L"[% d]", 5), L"[ 5]"},
      {"% d negative", Format(L"[% d]", -5), L"[-5]"},
      {"%%", Format(L"100%%"), L"100%"},
      {"debugger line",
       Format(L"[%02d/%02d %02d:%02d:%02d'%03d] [%s]%s %s\r\n", 3, 7, 9, 5, 2, 7, L"ZEFOFPSERVICE", L"",
              L"[ZEFO Service] Enter wmain..."),
       L"[03/07 09:05:02'007] [ZEFOFPSERVICE] [ZEFO Service] Enter wmain...\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.format);
    EXPECT_EQ(Narrow(c.expected), Narrow(c.actual));
  }
}

TEST_F(Formatter, BufferEnd) {
  struct Case {
    const char* what;
    Formatted actual;
    int result;
    const wchar_t* buffer;
  } cases[] = {
      {"shorter: terminated", FormatInto(6, L"%d", 1234), 4, L"1234\0#####"},
      {"one short of the count: terminated", FormatInto(6, L"%s", L"12345"), 5, L"12345\0####"},
      {"exactly the count: no terminator", FormatInto(6, L"%s", L"123456"), 6, L"123456####"},
      {"longer: cut, no terminator, -1", FormatInto(6, L"%s-%d", L"1234", 5678), -1, L"1234-5####"},
      {"count 0", FormatInto(0, L"%d", 1), -1, L"####"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(c.result, c.actual.result);
    EXPECT_EQ(Narrow(std::wstring(c.buffer, c.actual.buffer.size())), Narrow(c.actual.buffer));
  }
}
}  // namespace
}  // namespace conformance
