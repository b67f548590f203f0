// Formats one entry of an executable's message table the way the event log
// does: the file loaded as a data file, FormatMessageW with the insertion
// strings as an argument array. format_message <file> <message id> [strings...]
// Prints the text as UTF-8, exactly, on success (exit code 0); else
// "error <code>" and exit code 1.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

int wmain(int argc, wchar_t* argv[]) {
  if (argc < 3) return 2;
  HMODULE module = LoadLibraryExW(argv[1], nullptr, LOAD_LIBRARY_AS_DATAFILE);
  if (module == nullptr) {
    std::printf("error %lu\n", GetLastError());
    return 1;
  }
  const DWORD id = static_cast<DWORD>(std::wcstoul(argv[2], nullptr, 0));
  std::vector<DWORD_PTR> strings;
  for (int i = 3; i < argc; ++i) strings.push_back(reinterpret_cast<DWORD_PTR>(argv[i]));
  strings.push_back(0);
  wchar_t* text = nullptr;
  DWORD length = FormatMessageW(
      FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY | FORMAT_MESSAGE_ALLOCATE_BUFFER, module, id, 0,
      reinterpret_cast<wchar_t*>(&text), 0, reinterpret_cast<va_list*>(strings.data()));
  const DWORD error = GetLastError();
  FreeLibrary(module);
  if (length == 0) {
    std::printf("error %lu\n", error);
    return 1;
  }
  int bytes = WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), nullptr, 0, nullptr, nullptr);
  std::string utf8(static_cast<std::size_t>(bytes), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), utf8.data(), bytes, nullptr, nullptr);
  LocalFree(text);
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), utf8.data(), static_cast<DWORD>(utf8.size()), &written, nullptr);
  return 0;
}
