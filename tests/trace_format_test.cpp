// The trace message format file shipped beside the executable: it parses,
// its GUID is the message GUID the service sends, and every message number
// the service can send has a format that takes the one 8-bit string sent.
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "diag/logging.h"
#include "diag/settings.h"
#include "sim_fixture.h"

namespace {

// One #typev entry: its format and its arguments, "name, type -- number".
struct MessageFormat {
  std::string format;
  std::vector<std::string> arguments;
};

struct TraceFormatFile {
  std::string guid;  // the header's message GUID, as written
  std::string name;
  std::map<int, MessageFormat> messages;  // by message number
};

std::string Trim(const std::string& s) {
  const auto first = s.find_first_not_of(" \t\r");
  if (first == std::string::npos) return "";
  return s.substr(first, s.find_last_not_of(" \t\r") - first + 1);
}

// The TMF layout: comment lines ("//"), one header line "<guid> <name> // ...",
// then per message "#typev <id> <number> \"<format>\" // LEVEL=... FLAGS=..."
// followed by "{", one line per argument, "}". Adds a failure for anything else.
TraceFormatFile Parse(std::istream& in) {
  TraceFormatFile file;
  std::string line;
  MessageFormat* open = nullptr;
  bool inArguments = false;
  int lineNumber = 0;
  while (std::getline(in, line)) {
    ++lineNumber;
    line = Trim(line);
    SCOPED_TRACE(testing::Message() << "line " << lineNumber << ": " << line);
    if (line.empty() || line.rfind("//", 0) == 0) continue;
    if (inArguments) {
      if (line == "}") {
        inArguments = false;
        open = nullptr;
      } else {
        open->arguments.push_back(line);
      }
    } else if (line == "{") {
      EXPECT_NE(nullptr, open) << "argument list without a message";
      if (open == nullptr) return file;
      inArguments = true;
    } else if (line.rfind("#typev ", 0) == 0) {
      EXPECT_FALSE(file.guid.empty()) << "message before the GUID line";
      std::istringstream fields(line.substr(7));
      std::string id;
      int number = -1;
      fields >> id >> number;
      const auto first = line.find('"'), last = line.rfind('"');
      EXPECT_TRUE(number >= 0 && first != std::string::npos && last > first) << "not a message line";
      EXPECT_NE(std::string::npos, line.find("// LEVEL=", last)) << "no level";
      EXPECT_EQ(0u, file.messages.count(number)) << "message number " << number << " twice";
      open = &file.messages[number];
      open->format = line.substr(first + 1, last - first - 1);
    } else {
      EXPECT_TRUE(file.guid.empty()) << "a second GUID line, or a line of no known kind";
      std::istringstream fields(line);
      fields >> file.guid >> file.name;
    }
  }
  EXPECT_FALSE(inArguments) << "argument list not closed";
  return file;
}

std::string GuidText(const GUID& g) {
  char text[37];
  std::snprintf(text, sizeof text, "%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x", static_cast<unsigned>(g.Data1),
                g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6],
                g.Data4[7]);
  return text;
}

class TraceFormat : public SimTest {
 protected:
  void SetUp() override { RegisterTraceProvider(); }
  void TearDown() override { UnregisterTraceProvider(); }
};

TEST_F(TraceFormat, TheFileNameIsTheMessageGuid) {
  const std::string path = ZEFO_TMF_FILE;
  EXPECT_EQ(GuidText(kTraceMessageGuid) + ".tmf", path.substr(path.find_last_of("/\\") + 1));
  EXPECT_EQ("60c4d1e7-d069-acde-9109-2609356fa609", GuidText(kTraceMessageGuid));
}

TEST_F(TraceFormat, EveryMessageTheServiceSendsHasAFormatForItsOneString) {
  // What the service sends, at every severity WriteDebugLog knows.
  g_dwLogSwitch = 1;
  ASSERT_EQ(0u, machine.diagnostics.EnableTrace(5, 1));
  for (int severity : {kDebugError, kDebugWarning, kDebugInfo, 7})
    WriteDebugLog(severity, L"[ZEFO] severity %d", severity);
  const std::vector<sim::TraceRecord> sent = machine.diagnostics.TraceMessages();
  ASSERT_EQ(4u, sent.size());

  std::ifstream in(ZEFO_TMF_FILE);
  ASSERT_TRUE(in) << ZEFO_TMF_FILE;
  const TraceFormatFile file = Parse(in);
  EXPECT_EQ(GuidText(kTraceMessageGuid), file.guid);
  EXPECT_EQ("ZefoFpService", file.name);
  EXPECT_EQ(3u, file.messages.size());
  for (const sim::TraceRecord& record : sent) {
    SCOPED_TRACE(testing::Message() << "message number " << record.number);
    EXPECT_EQ(GuidText(kTraceMessageGuid), GuidText(record.messageGuid));
    // One argument: an 8-bit string with its terminator.
    ASSERT_EQ(1u, record.args.size());
    EXPECT_EQ(0, record.args[0].back());
    auto it = file.messages.find(record.number);
    ASSERT_NE(file.messages.end(), it) << "no format line";
    // The line alone, after the prefix that %0 stands for; the one argument
    // is number 10, an ANSI string.
    EXPECT_EQ("%0%10!s!", it->second.format);
    EXPECT_EQ(std::vector<std::string>{"Line, ItemString -- 10"}, it->second.arguments);
  }
}

}  // namespace
