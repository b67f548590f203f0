// What an adversary fed zefo_sim: each input is refused with exit 2 and one
// "file:line: what is wrong" line before anything runs, or, when it is a
// valid scenario, runs to a verdict; never a crash, a hang or a sanitizer
// report, and each within a time bound. The real binary runs each case.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

// Generous for a loaded machine and the sanitizer build; a case takes well
// under a second in the plain build.
constexpr std::chrono::seconds kTimeBound(10);

const char kStart[] = "at 0 start\n";
const char kSensor[] = "device sensor \"ZEFO Fingerprint Sensor\" ids USB\\VID_1234&PID_0A20&REV_0001\n";

std::string Repeated(const std::string& text, std::size_t times) {
  std::string out;
  out.reserve(text.size() * times);
  for (std::size_t i = 0; i < times; ++i) out += text;
  return out;
}

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

struct SimRun {
  bool ended = false;  // within the bound; else killed
  int exitCode = -1;   // -1: ended by a signal
  std::string out, err;
  std::chrono::steady_clock::duration took{};
};

// Runs zefo_sim with these arguments, its output in files of folder.
SimRun RunSim(const std::vector<std::string>& args, const fs::path& folder) {
  const fs::path out = folder / "stdout", err = folder / "stderr";
  std::vector<char*> argv{const_cast<char*>(ZEFO_SIM_BINARY)};
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  const auto started = std::chrono::steady_clock::now();
  const pid_t child = fork();
  if (child == 0) {
    const int outFd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int errFd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (outFd < 0 || errFd < 0 || dup2(outFd, 1) < 0 || dup2(errFd, 2) < 0) _exit(127);
    execv(argv[0], argv.data());
    _exit(127);
  }
  SimRun run;
  if (child < 0) return run;
  std::future<int> status = std::async(std::launch::async, [child] {
    int s = 0;
    waitpid(child, &s, 0);
    return s;
  });
  run.ended = status.wait_for(kTimeBound) == std::future_status::ready;
  if (!run.ended) kill(child, SIGKILL);
  const int s = status.get();
  run.took = std::chrono::steady_clock::now() - started;
  run.exitCode = WIFEXITED(s) ? WEXITSTATUS(s) : -1;
  run.out = ReadAll(out);
  run.err = ReadAll(err);
  return run;
}

std::string Replaced(std::string text, const std::string& what, const std::string& with) {
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + with.size()))
    text.replace(at, what.size(), with);
  return text;
}

constexpr int kVerdict = -2;  // a valid scenario: exit 0 or 1, and the verdict line last

struct BadInput {
  const char* name;
  std::function<std::string()> text;  // the scenario file's; null: the path is a directory
  int exitCode;
  // stderr, whole; {file} stands for the scenario's path, {dir} for the case's folder.
  std::string error;
  std::vector<std::string> options = {};  // before the scenario's path
};

void PrintTo(const BadInput& input, std::ostream* out) { *out << input.name; }

class BadInputs : public ::testing::TestWithParam<BadInput> {
 protected:
  void SetUp() override {
    std::string pattern = (fs::path(::testing::TempDir()) / "zefo-bad-input-XXXXXX").string();
    ASSERT_NE(nullptr, mkdtemp(pattern.data()));
    folder_ = pattern;
  }
  void TearDown() override { fs::remove_all(folder_); }
  fs::path folder_;
};

TEST_P(BadInputs, RefusedOrRunWithinTheBound) {
  const BadInput& input = GetParam();
  const fs::path scenario = folder_ / "in.scn";
  if (input.text)
    std::ofstream(scenario, std::ios::binary) << input.text();
  else
    fs::create_directory(scenario);
  std::vector<std::string> args;
  for (const std::string& option : input.options) args.push_back(Replaced(option, "{dir}", folder_.string()));
  args.push_back(scenario.string());

  const SimRun run = RunSim(args, folder_);
  ASSERT_TRUE(run.ended) << "still running after " << kTimeBound.count() << " s";
  EXPECT_LT(run.took, kTimeBound);
  if (input.exitCode == kVerdict) {
    EXPECT_TRUE(run.exitCode == 0 || run.exitCode == 1) << "exit " << run.exitCode << ": " << run.err;
    EXPECT_EQ("", run.err);
    const std::string lastLine = run.out.substr(run.out.rfind('\n', run.out.size() - 2) + 1);
    EXPECT_EQ(0u, lastLine.rfind(scenario.string() + ": ", 0)) << lastLine;
  } else {
    EXPECT_EQ(input.exitCode, run.exitCode);
    EXPECT_EQ(Replaced(Replaced(input.error, "{file}", scenario.string()), "{dir}", folder_.string()) + "\n", run.err);
    EXPECT_EQ("", run.out) << "nothing runs";
  }
}

INSTANTIATE_TEST_SUITE_P(
    Adversary, BadInputs,
    ::testing::Values(
        BadInput{"TimeOf310Digits", [] { return kStart + ("at " + std::string(310, '9') + "s stop\n"); }, 2,
                 "{file}:2: time " + std::string(40, '9') +
                     "... (311 characters) is past a year (8760h), the longest run"},
        BadInput{"TimeOf100000Digits", [] { return kStart + ("at " + std::string(100000, '1') + "s stop\n"); }, 2,
                 "{file}:2: time " + std::string(40, '1') +
                     "... (100001 characters) is past a year (8760h), the longest run"},
        BadInput{"SubMillisecondScTime",
                 [] { return "sc-time 0." + std::string(400, '0') + "1ms\n" + kStart; }, 2,
                 "{file}:1: bad sc.exe run time: 0." + std::string(38, '0') +
                     "... (405 characters) (e.g. 250ms, 30s, 2m, 1h30m)"},
        BadInput{"TimeWordOf1MB", [] { return kStart + ("at " + Repeated("1s", 500000) + " stop\n"); }, kVerdict,
                 ""},
        BadInput{"MalformedTimeWordOf1MB",
                 [] { return kStart + ("at " + Repeated("1s", 500000) + "x stop\n"); }, 2,
                 "{file}:2: bad time: " + Repeated("1s", 20) + "... (1000001 characters) (e.g. 0, 30s, 2m, 1h30m, +5s)"},
        BadInput{"PatternNested20000Deep",
                 [] {
                   return kStart + ("expect debug ~ \"" + std::string(20000, '(') + "a" + std::string(20000, ')') +
                                    "\"\n");
                 },
                 kVerdict, ""},
        BadInput{"PatternNested20000DeepUnclosed",
                 [] { return kStart + ("expect debug ~ \"" + std::string(20000, '(') + "a\"\n"); }, 2,
                 "{file}:2: bad pattern \"" + std::string(40, '(') + "... (20001 characters)\": missing ): " +
                     std::string(40, '(') + "... (20001 characters) (RE2 syntax, e.g. \"Polling .* s\")"},
        BadInput{"BacktrackingPattern",
                 [] {
                   return std::string("setting LOG_SWITCH = 1\n") + kSensor + kStart +
                          "expect debug ~ \"([A-Za-z]+)*!$\"\n";
                 },
                 kVerdict, ""},
        BadInput{"TenThousandDevices",
                 [] {
                   std::string devices;
                   for (int i = 0; i < 10000; ++i)
                     devices += "device d" + std::to_string(i) +
                                " \"ZEFO Fingerprint Sensor\" ids USB\\VID_1234&PID_0A20&REV_0001\n";
                   return devices + kStart;
                 },
                 kVerdict, ""},
        BadInput{"RunOfAMillionHours", [] { return kStart + std::string("end 1000000h\n"); }, 2,
                 "{file}:2: end time 1000000h is past a year (8760h), the longest run"},
        BadInput{"TimelineOfTooManyCopies", [] { return kStart + std::string("at 1s lock x100000 over 1s\n"); }, 2,
                 "{file}:2: more than 100000 timeline actions, copies included"},
        BadInput{"Directory", nullptr, 2, "{file}: a directory, not a scenario file"},
        BadInput{"EmptyFile", [] { return std::string(); }, 2,
                 "{file}:1: empty file (a scenario needs at least 'at 0 start')"},
        BadInput{"NoStart", [] { return std::string(kSensor) + "# the service is never started\n"; }, 2,
                 "{file}:2: no 'at TIME start': the service would never run"},
        BadInput{"SvgToAMissingFolder", [] { return std::string(kStart); }, 2,
                 "zefo_sim: cannot write {dir}/missing/timeline.svg",
                 {"--svg", "{dir}/missing/timeline.svg"}}),
    [](const ::testing::TestParamInfo<BadInput>& info) { return std::string(info.param.name); });

}  // namespace
