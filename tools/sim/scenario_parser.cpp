// Reads the scenario format: one statement per line, words separated by
// spaces, "quoted text" for descriptions, messages and command lines, # for
// comments.
#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "platform/sim/fault_operations.h"
#include "tools/sim/pattern.h"
#include "tools/sim/scenario.h"

namespace scenario {
namespace {

struct Token {
  std::string text;
  bool quoted = false;
};

// SERVICE_STOPPED (1) to SERVICE_PAUSED (7), in order.
const char* const kStateNames[] = {"STOPPED",          "START_PENDING", "STOP_PENDING", "RUNNING",
                                   "CONTINUE_PENDING", "PAUSE_PENDING", "PAUSED"};

// "a, b or c", for the message of a line that has none of these words.
std::string JoinWords(const std::vector<std::string>& words) {
  std::string list;
  for (std::size_t i = 0; i < words.size(); ++i)
    list += (i == 0 ? "" : i + 1 == words.size() ? " or " : ", ") + words[i];
  return list;
}
const char* WordOf(const char* word) { return word; }
template <class Entry>
const char* WordOf(const Entry& entry) {
  return entry.word;
}
template <class Entry, std::size_t N>
std::string WordList(const Entry (&table)[N]) {
  std::vector<std::string> words;
  for (const Entry& entry : table) words.push_back(WordOf(entry));
  return JoinWords(words);
}
template <class Entry, std::size_t N>
const Entry* FindWord(const Entry (&table)[N], const std::string& word) {
  for (const Entry& entry : table)
    if (word == WordOf(entry)) return &entry;
  return nullptr;
}

// Machine time as a scenario writes it, or why it cannot be read.
struct DurationRead {
  std::uint64_t ms = 0;
  enum class Problem { kNone, kMalformed, kTooLong };  // kTooLong: past kLongestRunMs
  Problem problem = Problem::kNone;
};

DurationRead ReadDuration(const std::string& text) {
  constexpr DurationRead kMalformed{0, DurationRead::Problem::kMalformed}, kTooLong{0, DurationRead::Problem::kTooLong};
  if (text == "0") return {};
  if (text.empty()) return kMalformed;
  const auto digit = [&](std::size_t i) { return i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); };
  // Parts "<digits>[.<digits>]<unit>", each read once, every sum bounded.
  std::uint64_t totalMs = 0;
  for (std::size_t i = 0; i < text.size();) {
    std::uint64_t whole = 0;
    if (!digit(i)) return kMalformed;
    for (; digit(i); ++i) {
      whole = whole * 10 + static_cast<std::uint64_t>(text[i] - '0');
      if (whole > kLongestRunMs) return kTooLong;
    }
    // The fraction as fraction / scale of the unit, up to its last non-zero
    // digit: one past the 7th place is not whole milliseconds in any unit.
    constexpr std::uint64_t kScales[] = {1, 10, 100, 1000, 10000, 100000, 1000000, 10000000};
    std::uint64_t fraction = 0, scale = 1;
    if (i < text.size() && text[i] == '.') {
      if (!digit(++i)) return kMalformed;
      for (std::size_t place = 1; digit(i); ++i, ++place) {
        if (text[i] == '0') continue;
        if (place >= std::size(kScales)) return kMalformed;
        fraction = fraction * (kScales[place] / scale) + static_cast<std::uint64_t>(text[i] - '0');
        scale = kScales[place];
      }
    }
    std::uint64_t unitMs;
    if (text.compare(i, 2, "ms") == 0) {
      unitMs = 1;
      i += 2;
    } else if (i < text.size() && (text[i] == 's' || text[i] == 'm' || text[i] == 'h')) {
      unitMs = text[i] == 's' ? 1000 : text[i] == 'm' ? 60000 : 3600000;
      ++i;
    } else {
      return kMalformed;
    }
    if (fraction * unitMs % scale != 0) return kMalformed;
    totalMs += whole * unitMs + fraction * unitMs / scale;
    if (totalMs > kLongestRunMs) return kTooLong;
  }
  return {totalMs, DurationRead::Problem::kNone};
}

constexpr char kPastLongestRun[] = " is past a year (8760h), the longest run";

// A message quotes what the line says; a word too long to read is cut (a
// word: what stands between spaces and quotes).
std::string WithLongWordsCut(const std::string& message) {
  constexpr std::size_t kLongest = 80, kKept = 40;
  constexpr char kBetweenWords[] = " '\"";
  std::string cut;
  for (std::size_t i = 0; i < message.size();) {
    const std::size_t end = std::min(message.find_first_of(kBetweenWords, i), message.size());
    if (end - i > kLongest)
      cut.append(message, i, kKept).append("... (" + std::to_string(end - i) + " characters)");
    else
      cut.append(message, i, end - i);
    if (end < message.size()) cut += message[end];
    i = end + 1;
  }
  return cut;
}

// A repeated action's copies: how many, over how long.
struct Repetition {
  std::uint64_t copies = 1;
  std::uint64_t overMs = 0;
};

class LineReader {
 public:
  LineReader(const std::string& file, int line, const std::string& text) : file_(file), line_(line) {
    Tokenize(text);
  }

  [[noreturn]] void Fail(const std::string& what) const {
    throw ScenarioError(file_ + ":" + std::to_string(line_) + ": " + WithLongWordsCut(what));
  }
  bool Empty() const { return pos_ == tokens_.size(); }
  bool NextIs(const std::string& keyword) const {
    return !Empty() && !tokens_[pos_].quoted && tokens_[pos_].text == keyword;
  }
  // Whether this keyword is all that is left of the line.
  bool OnlyRest(const std::string& keyword) const { return NextIs(keyword) && pos_ + 1 == tokens_.size(); }
  // The next word, if it is exactly this unquoted keyword; taken.
  bool Take(const std::string& keyword) {
    if (!NextIs(keyword)) return false;
    ++pos_;
    return true;
  }
  std::string Word(const std::string& what) {
    if (Empty()) Fail("missing " + what);
    if (tokens_[pos_].quoted) Fail("expected " + what + ", found quoted text");
    return tokens_[pos_++].text;
  }
  std::string Quoted(const std::string& what) {
    if (Empty()) Fail("missing " + what + " (in double quotes)");
    if (!tokens_[pos_].quoted) Fail(what + " must be in double quotes: " + tokens_[pos_].text);
    return tokens_[pos_++].text;
  }
  void Expect(const std::string& keyword) {
    if (!Take(keyword)) Fail("expected '" + keyword + "'" + (Empty() ? "" : ", found '" + tokens_[pos_].text + "'"));
  }
  void Done() const {
    if (!Empty()) Fail("unexpected '" + tokens_[pos_].text + "' at the end of the line");
  }
  std::uint64_t Number(const std::string& what, std::uint64_t max = UINT32_MAX) {
    return NumberIn(Word(what), what, max);
  }
  std::vector<std::uint8_t> Bytes(const std::string& what) {
    std::vector<std::uint8_t> bytes;
    while (!Empty()) {
      const std::string word = Word(what);
      if (word.size() != 2 || !std::isxdigit(static_cast<unsigned char>(word[0])) ||
          !std::isxdigit(static_cast<unsigned char>(word[1])))
        Fail("malformed byte in " + what + ": " + word + " (two hex digits, e.g. 01)");
      bytes.push_back(static_cast<std::uint8_t>(std::stoul(word, nullptr, 16)));
    }
    return bytes;
  }
  std::uint64_t Duration(const std::string& what) { return DurationIn(Word(what), what); }
  // "xN over DURATION" ending the line, taken off it: a timeline action
  // repeated. Read before the action, whose own words may run to the end.
  Repetition TakeRepetition() {
    Repetition repetition;
    const std::size_t n = tokens_.size();
    if (n - pos_ < 3 || tokens_[n - 2].quoted || tokens_[n - 2].text != "over" || tokens_[n - 3].quoted ||
        tokens_[n - 3].text.size() < 2 || tokens_[n - 3].text[0] != 'x')
      return repetition;
    repetition.copies = NumberIn(tokens_[n - 3].text.substr(1), "number of copies", kMostTimelineActions);
    if (repetition.copies == 0) Fail("x0: an action repeated comes at least once");
    if (tokens_[n - 1].quoted) Fail("duration must not be in double quotes: " + tokens_[n - 1].text);
    repetition.overMs = DurationIn(tokens_[n - 1].text, "duration of the copies");
    tokens_.resize(n - 3);
    return repetition;
  }

 private:
  std::uint64_t NumberIn(const std::string& word, const std::string& what, std::uint64_t max) const {
    std::uint64_t value = 0;
    const bool hex = word.size() > 2 && word[0] == '0' && (word[1] == 'x' || word[1] == 'X');
    const std::string digits = hex ? word.substr(2) : word;
    const int base = hex ? 16 : 10;
    if (digits.empty()) Fail("malformed " + what + ": " + word);
    for (char c : digits) {
      const int digit = std::isdigit(static_cast<unsigned char>(c))                  ? c - '0'
                        : hex && std::isxdigit(static_cast<unsigned char>(c))        ? std::tolower(c) - 'a' + 10
                                                                                     : -1;
      if (digit < 0) Fail("malformed " + what + ": " + word);
      if (value > (max - static_cast<std::uint64_t>(digit)) / static_cast<std::uint64_t>(base))
        Fail(what + " too large: " + word);
      value = value * static_cast<std::uint64_t>(base) + static_cast<std::uint64_t>(digit);
    }
    return value;
  }
  std::uint64_t DurationIn(const std::string& word, const std::string& what) const {
    const DurationRead read = ReadDuration(word);
    if (read.problem == DurationRead::Problem::kMalformed)
      Fail("bad " + what + ": " + word + " (e.g. 250ms, 30s, 2m, 1h30m)");
    if (read.problem == DurationRead::Problem::kTooLong) Fail(what + " " + word + kPastLongestRun);
    return read.ms;
  }
  void Tokenize(const std::string& text) {
    std::size_t i = 0;
    while (i < text.size()) {
      const char c = text[i];
      if (std::isspace(static_cast<unsigned char>(c))) {
        ++i;
      } else if (c == '#') {
        break;
      } else if (c == '"') {
        Token token{"", true};
        for (++i;; ++i) {
          if (i >= text.size()) Fail("unterminated quoted text");
          if (text[i] == '"') break;
          if (text[i] == '\\' && i + 1 < text.size() && (text[i + 1] == '"' || text[i + 1] == '\\')) ++i;
          token.text += text[i];
        }
        ++i;
        tokens_.push_back(token);
      } else {
        Token token;
        while (i < text.size() && !std::isspace(static_cast<unsigned char>(text[i])) && text[i] != '"') token.text += text[i++];
        tokens_.push_back(token);
      }
    }
  }

  const std::string& file_;
  int line_;
  std::vector<Token> tokens_;
  std::size_t pos_ = 0;
};

class Parser {
 public:
  explicit Parser(const std::string& file) { scenario_.file = file; }

  void Line(LineReader& in, int line);

  Scenario Finish() {
    std::stable_sort(scenario_.timeline.begin(), scenario_.timeline.end(),
                     [](const TimedAction& a, const TimedAction& b) { return a.atMs < b.atMs; });
    return std::move(scenario_);
  }

 private:
  // Each table's words make the message of a line that has none of them.
  struct Statement {
    const char* word;
    void (Parser::*read)(LineReader& in, const std::string& keyword, int line);
  };
  struct TimelineWord {
    const char* word;
    Action::Kind kind;
    void (Parser::*read)(LineReader& in, const std::string& word, Action& action);
  };
  struct ExpectationWord {
    const char* word;
    Expectation::What what;
    void (Parser::*read)(LineReader& in, Expectation& e);
  };
  static const Statement kStatements[];
  static const TimelineWord kTimelineWords[];
  static const ExpectationWord kExpectationWords[];

  // Statements.
  void TimelineLine(LineReader& in, const std::string&, int line) {
    TimedAction timed;
    timed.atMs = Time(in, "time");
    const Repetition repetition = in.TakeRepetition();
    timed.action = TimelineAction(in, line);
    lastTimeMs_ = timed.atMs;
    // Copy i at TIME + i * DURATION / N: evenly over the duration.
    const std::uint64_t firstMs = timed.atMs;
    const std::uint64_t lastCopyMs = firstMs + (repetition.copies - 1) * repetition.overMs / repetition.copies;
    if (lastCopyMs > kLongestRunMs) in.Fail(std::string("the last copy") + kPastLongestRun);
    if (scenario_.timeline.size() + repetition.copies > kMostTimelineActions)
      in.Fail("more than " + std::to_string(kMostTimelineActions) + " timeline actions, copies included");
    for (std::uint64_t copy = 0; copy < repetition.copies; ++copy) {
      timed.atMs = firstMs + copy * repetition.overMs / repetition.copies;
      scenario_.timeline.push_back(timed);
    }
  }
  void ExpectLine(LineReader& in, const std::string&, int line) {
    scenario_.expectations.push_back(ExpectationLine(in, line));
  }
  void SetupChange(LineReader& in, const std::string& keyword, int line) {
    if (keyword == "firmware" && in.OnlyRest("none")) {
      in.Take("none");
      scenario_.uefiFirmware = false;
      return;
    }
    Action action;
    action.line = line;
    ChangeLine(keyword, in, action);
    scenario_.setup.push_back(action);
  }
  void PrivilegeLine(LineReader& in, const std::string&, int) {
    if (in.Word("privilege name") != "SeSystemEnvironmentPrivilege")
      in.Fail("the only privilege a scenario sets is SeSystemEnvironmentPrivilege");
    scenario_.systemEnvironmentPrivilege = OneOf(in, "privilege state", {"held", "missing"}) == 0;
  }
  void ScTimeLine(LineReader& in, const std::string&, int) {
    scenario_.scTimeMs = in.Take("hang") ? kHang : in.Duration("sc.exe run time");
  }
  void InstallerTimeLine(LineReader& in, const std::string&, int) {
    scenario_.installerTimeMs = in.Take("hang") ? kHang : in.Duration("class installer time");
  }
  void ShutdownTimeoutLine(LineReader& in, const std::string&, int) {
    scenario_.shutdownTimeoutMs = in.Duration("shutdown timeout");
  }
  void EndLine(LineReader& in, const std::string&, int) { scenario_.endMs = in.Duration("end time"); }
  void RecordedLine(LineReader& in, const std::string&, int) {
    if (!scenario_.recorded.empty()) in.Fail("the recovery record is given once, on one recorded line");
    std::set<std::string> recorded;
    do {
      const std::string device = KnownDevice(in).name;
      if (!recorded.insert(device).second) in.Fail("device '" + device + "' recorded twice");
      scenario_.recorded.push_back(device);
    } while (!in.Empty());
  }

  std::uint64_t Time(LineReader& in, const std::string& what) {
    const std::string word = in.Word(what);
    const bool relative = !word.empty() && word[0] == '+';
    const DurationRead read = ReadDuration(relative ? word.substr(1) : word);
    if (read.problem == DurationRead::Problem::kMalformed)
      in.Fail("bad " + what + ": " + word + " (e.g. 0, 30s, 2m, 1h30m, +5s)");
    const std::uint64_t timeMs = relative ? lastTimeMs_ + read.ms : read.ms;
    if (read.problem == DurationRead::Problem::kTooLong || timeMs > kLongestRunMs)
      in.Fail(what + " " + word + kPastLongestRun);
    return timeMs;
  }

  const Device& KnownDevice(LineReader& in) {
    const std::string name = in.Word("device name");
    const auto device = deviceIndex_.find(name);
    if (device == deviceIndex_.end()) in.Fail("unknown device '" + name + "' (declare it first with a device line)");
    return scenario_.devices[device->second];
  }

  void DeviceLine(LineReader& in, const std::string&, int) {
    Device device;
    device.name = in.Word("device name");
    if (!deviceIndex_.emplace(device.name, scenario_.devices.size()).second)
      in.Fail("device '" + device.name + "' declared twice");
    device.description = in.Quoted("device description");
    while (!in.Empty()) {
      if (in.Take("problem")) {
        device.problem = static_cast<unsigned long>(in.Number("problem code"));
      } else if (in.Take("absent")) {
        device.present = false;
      } else if (in.Take("disabled")) {
        device.disabled = true;
      } else if (in.Take("ids")) {
        do device.hardwareIds.push_back(in.Word("hardware id"));
        while (!in.Empty() && !in.NextIs("problem") && !in.NextIs("absent") && !in.NextIs("disabled"));
      } else {
        in.Fail("expected ids, problem, absent or disabled after the device description, found '" + in.Word("word") +
                "'");
      }
    }
    scenario_.devices.push_back(device);
  }

  void ServiceLine(LineReader& in, const std::string&, int) {
    OtherService service;
    service.name = in.Word("service name");
    // Service names are the SCM's: case does not matter.
    std::string folded = service.name;
    std::transform(folded.begin(), folded.end(), folded.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (!serviceNames_.insert(folded).second) in.Fail("service '" + service.name + "' declared twice");
    if (SameIgnoringCase(service.name, kServiceUnderTest))
      in.Fail("'" + service.name + "' is the service under test; a service line is for another service");
    bool stopGiven = false, startGiven = false;
    while (!in.Empty()) {
      if (!stopGiven && in.Take("stop-time")) {
        service.stopMs = in.Duration("stop time");
        stopGiven = true;
      } else if (!startGiven && in.Take("start-time")) {
        service.startMs = in.Duration("start time");
        startGiven = true;
      } else {
        in.Fail("expected stop-time or start-time (each once) after the service name, found '" + in.Word("word") +
                "'");
      }
    }
    scenario_.services.push_back(service);
  }

  Value ValueAfterEquals(LineReader& in) {
    in.Expect("=");
    Value value;
    if (in.Take("sz")) {
      value.type = Value::Type::kString;
      value.text = in.Quoted("string value");
    } else if (in.Take("binary")) {
      value.type = Value::Type::kBinary;
      value.bytes = in.Bytes("binary value");
    } else if (in.Take("qword")) {
      value.type = Value::Type::kQword;
      value.number = in.Number("qword value", UINT64_MAX);
    } else {
      in.Take("dword");
      value.number = in.Number("dword value");
    }
    return value;
  }

  // The lines that change the machine, in the setup or in the timeline.
  void ChangeLine(const std::string& keyword, LineReader& in, Action& action) {
    if (keyword == "setting") {
      action.kind = Action::Kind::kSetting;
      action.name = in.Word("setting name");
      action.value = ValueAfterEquals(in);
    } else if (keyword == "config") {
      action.kind = Action::Kind::kConfig;
      action.device = KnownDevice(in).name;
      action.name = in.Word("WinBio\\Configurations value name");
      action.value = ValueAfterEquals(in);
    } else if (keyword == "firmware") {
      action.name = in.Word("firmware variable name");
      if (in.Take("missing")) {
        action.kind = Action::Kind::kFirmwareMissing;
      } else {
        action.kind = Action::Kind::kFirmware;
        in.Expect("=");
        action.bytes = in.Bytes("firmware variable bytes");
        if (action.bytes.empty()) in.Fail("firmware variable without bytes (write 'missing' for none)");
      }
    } else {
      FaultLine(in, action);
    }
  }

  void FaultLine(LineReader& in, Action& action) {
    action.kind = Action::Kind::kFault;
    action.name = in.Word("operation name");
    const sim::FaultableOperation* operation = sim::FindFaultableOperation(action.name);
    if (operation == nullptr)
      in.Fail("unknown operation '" + action.name +
              "' (not one the simulated machine can fail; the README lists them)");
    action.number = static_cast<unsigned long>(in.Number("error code"));
    if (in.Take("always")) {
      action.times = -1;
    } else if (in.Take("times")) {
      action.times = static_cast<int>(in.Number("times", 1000000));
      if (action.times == 0) in.Fail("times must be at least 1");
    }
    if (in.Take("about")) {
      if (operation->about.empty())
        in.Fail("the calls of " + action.name + " are not told apart by a name: 'about' does not go with it");
      action.about = in.Word("name the calls are about (" + std::string(operation->about) + ")");
    }
  }

  // Timeline actions.
  Action TimelineAction(LineReader& in, int line);
  void NothingMore(LineReader&, const std::string&, Action&) {}
  void Session(LineReader&, const std::string& word, Action& action) { action.name = word; }
  void UserControl(LineReader& in, const std::string&, Action& action) {
    action.number = static_cast<unsigned long>(in.Number("control code"));
    if (action.number < 128 || action.number > 255) in.Fail("a user control is 128 to 255");
  }
  void LidState(LineReader& in, const std::string&, Action& action) {
    action.number = OneOf(in, "lid state", {"close", "open"});
  }
  void DisplayState(LineReader& in, const std::string&, Action& action) {
    action.number = OneOf(in, "display state", {"off", "on", "dimmed"});
  }
  void Problem(LineReader& in, const std::string&, Action& action) {
    action.device = KnownDevice(in).name;
    action.number = in.Take("clear") ? 0 : static_cast<unsigned long>(in.Number("problem code (or clear)"));
    action.persists = action.number != 0 && in.Take("persists");
  }
  void OfDevice(LineReader& in, const std::string&, Action& action) { action.device = KnownDevice(in).name; }
  void TimedChange(LineReader& in, const std::string& word, Action& action) {
    if (word == "firmware" && in.OnlyRest("none"))
      in.Fail("the machine's firmware is UEFI or not from its start: 'firmware none' takes no time");
    ChangeLine(word, in, action);
  }

  static unsigned long OneOf(LineReader& in, const std::string& what, const std::vector<std::string>& words) {
    const std::string word = in.Word(what);
    for (std::size_t i = 0; i < words.size(); ++i)
      if (words[i] == word) return static_cast<unsigned long>(i);
    in.Fail("bad " + what + " '" + word + "' (expected " + JoinWords(words) + ")");
  }

  // Expectations.
  Expectation ExpectationLine(LineReader& in, int line);
  void Message(LineReader& in, Expectation& e) {
    e.pattern = in.Take("~");
    e.text = in.Quoted(e.pattern ? "pattern" : "message");
    if (!e.pattern) return;
    const std::string error = Pattern(e.text).Error();
    if (!error.empty()) in.Fail("bad pattern \"" + e.text + "\": " + error + " (RE2 syntax, e.g. \"Polling .* s\")");
  }
  void DeviceAction(LineReader& in, Expectation& e) {
    e.device = KnownDevice(in).name;
    e.text = OneOf(in, "device action", {"disable", "enable"}) == 0 ? "disable" : "enable";
  }
  void CommandLine(LineReader& in, Expectation& e) { e.text = in.Quoted("command line"); }
  void State(LineReader& in, Expectation& e) {
    e.text = in.Word("service state");
    if (!StateFromName(e.text))
      in.Fail("unknown service state '" + e.text + "' (expected " + WordList(kStateNames) + ")");
  }
  void RegistryValue(LineReader& in, Expectation& e) {
    if (in.Take("key")) {
      e.keyPath = in.Quoted("key path under HKLM");
    } else {
      e.device = KnownDevice(in).name;
    }
    e.valueName = in.Word("value name");
    if (in.Take("missing")) {
      e.registry = Expectation::Registry::kMissing;
    } else if (in.Take("empty")) {
      e.registry = Expectation::Registry::kEmpty;
    } else {
      e.value = ValueAfterEquals(in);
      if (e.value.type != Value::Type::kDword) in.Fail("a registry expectation compares a dword value");
      return;
    }
    if (e.when != Expectation::When::kAnyTime)
      in.Fail("'missing' and 'empty' read the value at the end of the run: no at or by");
  }

  Scenario scenario_;
  std::uint64_t lastTimeMs_ = 0;
  std::map<std::string, std::size_t> deviceIndex_;  // by name, in scenario_.devices
  std::set<std::string> serviceNames_;              // in lower case
};

using K = Action::Kind;
using W = Expectation::What;
const Parser::Statement Parser::kStatements[] = {
    {"device", &Parser::DeviceLine},
    {"service", &Parser::ServiceLine},
    {"setting", &Parser::SetupChange},
    {"config", &Parser::SetupChange},
    {"firmware", &Parser::SetupChange},
    {"privilege", &Parser::PrivilegeLine},
    {"recorded", &Parser::RecordedLine},
    {"sc-time", &Parser::ScTimeLine},
    {"installer-time", &Parser::InstallerTimeLine},
    {"shutdown-timeout", &Parser::ShutdownTimeoutLine},
    {"fail", &Parser::SetupChange},
    {"end", &Parser::EndLine},
    {"at", &Parser::TimelineLine},
    {"expect", &Parser::ExpectLine},
};
const Parser::TimelineWord Parser::kTimelineWords[] = {
    {"start", K::kStart, &Parser::NothingMore},
    {"stop", K::kStop, &Parser::NothingMore},
    {"shutdown", K::kShutdown, &Parser::NothingMore},
    {"kill", K::kKill, &Parser::NothingMore},
    {"reboot", K::kReboot, &Parser::NothingMore},
    {"control", K::kUserControl, &Parser::UserControl},
    {"lid", K::kLid, &Parser::LidState},
    {"display", K::kDisplay, &Parser::DisplayState},
    {"logon", K::kSession, &Parser::Session},
    {"logoff", K::kSession, &Parser::Session},
    {"lock", K::kSession, &Parser::Session},
    {"unlock", K::kSession, &Parser::Session},
    {"problem", K::kProblem, &Parser::Problem},
    {"add", K::kAddDevice, &Parser::OfDevice},
    {"remove", K::kRemoveDevice, &Parser::OfDevice},
    {"disable", K::kPersonDisables, &Parser::OfDevice},
    {"enable", K::kPersonEnables, &Parser::OfDevice},
    {"driver-attach", K::kDriverAttach, &Parser::NothingMore},
    {"setting", K::kSetting, &Parser::TimedChange},
    {"config", K::kConfig, &Parser::TimedChange},
    {"firmware", K::kFirmware, &Parser::TimedChange},
    {"fail", K::kFault, &Parser::TimedChange},
};
const Parser::ExpectationWord Parser::kExpectationWords[] = {
    {"debug", W::kDebug, &Parser::Message},
    {"event", W::kEvent, &Parser::Message},
    {"device", W::kDevice, &Parser::DeviceAction},
    {"command", W::kCommand, &Parser::CommandLine},
    {"state", W::kState, &Parser::State},
    {"registry", W::kRegistry, &Parser::RegistryValue},
};

void Parser::Line(LineReader& in, int line) {
  if (in.Empty()) return;
  const std::string keyword = in.Word("keyword");
  const Statement* statement = FindWord(kStatements, keyword);
  if (statement == nullptr) in.Fail("unknown keyword '" + keyword + "' (expected " + WordList(kStatements) + ")");
  (this->*statement->read)(in, keyword, line);
  in.Done();
}

Action Parser::TimelineAction(LineReader& in, int line) {
  const std::string word = in.Word("action");
  const TimelineWord* entry = FindWord(kTimelineWords, word);
  if (entry == nullptr) in.Fail("unknown action '" + word + "' (expected " + WordList(kTimelineWords) + ")");
  Action action;
  action.line = line;
  action.kind = entry->kind;
  (this->*entry->read)(in, word, action);
  return action;
}

Expectation Parser::ExpectationLine(LineReader& in, int line) {
  Expectation e;
  e.line = line;
  // "at most N times", which may also stand first.
  const auto count = [&] {
    e.atMost = static_cast<std::uint32_t>(in.Number("count"));
    in.Expect("times");
  };
  if (in.Take("at")) {
    if (in.Take("most")) {
      count();
    } else {
      e.when = Expectation::When::kAt;
      e.timeMs = Time(in, "time");
    }
  } else if (in.Take("by")) {
    e.when = Expectation::When::kBy;
    e.timeMs = Time(in, "time");
  }
  if (!e.atMost) {
    e.never = in.Take("never");
    if (!e.never && in.Take("at")) {
      in.Expect("most");
      count();
    }
  }
  const std::string what = in.Word("what to expect");
  const ExpectationWord* entry = FindWord(kExpectationWords, what);
  if (entry == nullptr)
    in.Fail("unknown expectation '" + what + "' (expected " + WordList(kExpectationWords) + ")");
  e.what = entry->what;
  (this->*entry->read)(in, e);
  if (e.atMost && e.AtEnd()) in.Fail("'at most' counts lines of the timeline: give the state a time (at or by)");
  return e;
}

}  // namespace

bool SameIgnoringCase(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

std::vector<OtherService> Scenario::ServicesAtBoot() const {
  std::vector<OtherService> atBoot = services;
  const auto biometric = [](const OtherService& s) { return SameIgnoringCase(s.name, kBiometricService); };
  if (std::none_of(atBoot.begin(), atBoot.end(), biometric))
    atBoot.insert(atBoot.begin(), OtherService{kBiometricService, 0, 0});
  return atBoot;
}

std::uint64_t Scenario::EndMs() const {
  if (endMs) return *endMs;
  std::uint64_t last = 0;
  for (const TimedAction& timed : timeline) last = std::max(last, timed.atMs);
  for (const Expectation& e : expectations)
    if (e.when != Expectation::When::kAnyTime) last = std::max(last, e.timeMs);
  return last + 60000;
}

Scenario ParseScenario(const std::string& text, const std::string& file) {
  Parser parser(file);
  std::istringstream lines(text);
  std::string line;
  for (int number = 1; std::getline(lines, line); ++number) {
    LineReader in(file, number, line);
    parser.Line(in, number);
  }
  return parser.Finish();
}

Scenario ReadScenarioFile(const std::string& text, const std::string& file) {
  if (text.empty()) throw ScenarioError(file + ":1: empty file (a scenario needs at least 'at 0 start')");
  Scenario scenario = ParseScenario(text, file);
  const auto start = [](const TimedAction& timed) { return timed.action.kind == Action::Kind::kStart; };
  if (std::none_of(scenario.timeline.begin(), scenario.timeline.end(), start)) {
    const auto lines = std::count(text.begin(), text.end(), '\n') + (text.back() == '\n' ? 0 : 1);
    throw ScenarioError(file + ":" + std::to_string(lines) + ": no 'at TIME start': the service would never run");
  }
  return scenario;
}

Scenario LoadScenario(const std::string& path) {
  std::error_code error;
  const auto status = std::filesystem::status(path, error);
  if (error) throw ScenarioError(path + ": cannot be read (" + error.message() + ")");
  if (std::filesystem::is_directory(status)) throw ScenarioError(path + ": a directory, not a scenario file");
  if (!std::filesystem::is_regular_file(status)) throw ScenarioError(path + ": not a regular file");
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  if (in) text << in.rdbuf();
  if (!in || in.bad()) throw ScenarioError(path + ": cannot be read");
  return ReadScenarioFile(text.str(), path);
}

std::optional<std::uint64_t> ParseDuration(const std::string& text) {
  const DurationRead read = ReadDuration(text);
  return read.problem == DurationRead::Problem::kNone ? std::optional<std::uint64_t>(read.ms) : std::nullopt;
}

std::string FormatTime(std::uint64_t ms) {
  char text[48];
  std::snprintf(text, sizeof text, "%llu:%02llu:%02llu.%03llu", static_cast<unsigned long long>(ms / 3600000),
                static_cast<unsigned long long>(ms / 60000 % 60), static_cast<unsigned long long>(ms / 1000 % 60),
                static_cast<unsigned long long>(ms % 1000));
  return text;
}

std::optional<unsigned long> StateFromName(const std::string& name) {
  for (unsigned long i = 0; i < std::size(kStateNames); ++i)
    if (name == kStateNames[i]) return i + 1;
  return std::nullopt;
}

std::string StateName(unsigned long state) {
  return state >= 1 && state <= std::size(kStateNames) ? kStateNames[state - 1] : "state " + std::to_string(state);
}

}  // namespace scenario
