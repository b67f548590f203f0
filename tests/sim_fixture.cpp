#include "sim_fixture.h"

#include "service/entry.h"

int RunWmain(const std::vector<std::wstring>& args) {
  std::vector<std::wstring> storage{L"C:\\Program Files\\ZEFO\\ZefoFpService.exe"};
  storage.insert(storage.end(), args.begin(), args.end());
  std::vector<wchar_t*> argv;
  for (std::wstring& s : storage) argv.push_back(s.data());
  argv.push_back(nullptr);
  return wmain(static_cast<int>(storage.size()), argv.data());
}

std::vector<std::wstring> SimTest::EventMessages() const {
  std::vector<std::wstring> messages;
  for (const sim::EventLogEntry& e : machine.diagnostics.EventLog()) messages.push_back(e.strings.at(1));
  return messages;
}

std::vector<std::wstring> SimTest::DebugMessages() const {
  // "[MM/DD hh:mm:ss'mmm] [ZEFOFPSERVICE]" + tag + " " + message + "\r\n"
  const std::wstring head = L"[ZEFOFPSERVICE] ";
  std::vector<std::wstring> messages;
  for (const sim::DebugLine& line : machine.diagnostics.DebugLines()) {
    std::wstring text = line.text;
    std::size_t at = text.find(head);
    if (at != std::wstring::npos) text = text.substr(at + head.size());
    if (text.size() >= 2 && text.compare(text.size() - 2, 2, L"\r\n") == 0) text.resize(text.size() - 2);
    messages.push_back(text);
  }
  return messages;
}
