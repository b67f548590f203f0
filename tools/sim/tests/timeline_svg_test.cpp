// The timeline picture read as a person reads it: well-formed SVG, the
// scenario's name and verdict, a label for each event, absent and short spans
// that show, failed checks at their time, round axis ticks inside the canvas,
// and a zoomed panel for a long run's busiest stretch.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "tools/sim/scenario.h"
#include "tools/sim/timeline_svg.h"

namespace {

using scenario::ExpectationFailure;
using scenario::Observation;
using scenario::RunResult;
using scenario::Violation;

constexpr std::uint64_t kSecond = 1000, kMinute = 60 * kSecond, kHour = 60 * kMinute;

// An element of the picture, as the tiny reader below sees it.
struct Node {
  std::string name;
  std::map<std::string, std::string> attributes;
  std::vector<Node> children;
  std::string text;  // character data directly inside

  std::string Get(const std::string& attribute) const {
    const auto it = attributes.find(attribute);
    return it == attributes.end() ? "" : it->second;
  }
  double Number(const std::string& attribute) const { return std::stod(Get(attribute)); }
  bool HasClass(const std::string& wanted) const {
    const std::string classes = " " + Get("class") + " ";
    return classes.find(" " + wanted + " ") != std::string::npos;
  }
  std::string Tooltip() const {
    for (const Node& child : children)
      if (child.name == "title") return child.text;
    return "";
  }
  // Every element below this one, depth first, that `wanted` picks.
  template <typename Pick>
  std::vector<const Node*> Where(Pick wanted) const {
    std::vector<const Node*> found;
    for (const Node& child : children) {
      if (wanted(child)) found.push_back(&child);
      const std::vector<const Node*> below = child.Where(wanted);
      found.insert(found.end(), below.begin(), below.end());
    }
    return found;
  }
  std::vector<const Node*> All(const std::string& element, const std::string& cls = "") const {
    return Where([&](const Node& n) { return n.name == element && (cls.empty() || n.HasClass(cls)); });
  }
};

// Reads XML as the picture must write it: one declaration, elements with
// double-quoted attributes, character data with the predefined entities.
// Throws at the first thing a well-formed document cannot hold.
class XmlReader {
 public:
  static Node Document(const std::string& xml) {
    XmlReader in(xml);
    if (xml.rfind("<?xml ", 0) != 0) in.Fail("no XML declaration");
    in.at_ = xml.find("?>") + 2;
    in.SkipSpace();
    Node root = in.Element();
    in.SkipSpace();
    if (in.at_ != xml.size()) in.Fail("text after the root element");
    return root;
  }

 private:
  explicit XmlReader(const std::string& xml) : xml_(xml) {}

  [[noreturn]] void Fail(const std::string& what) const {
    throw std::runtime_error("not well-formed at " + std::to_string(at_) + ": " + what + ": " + xml_.substr(at_, 60));
  }
  bool Next(const std::string& text) const { return xml_.compare(at_, text.size(), text) == 0; }
  void SkipSpace() {
    while (at_ < xml_.size() && std::isspace(static_cast<unsigned char>(xml_[at_]))) ++at_;
  }
  std::string Name() {
    const std::size_t from = at_;
    while (at_ < xml_.size() && (std::isalnum(static_cast<unsigned char>(xml_[at_])) || xml_[at_] == '-' ||
                                 xml_[at_] == ':' || xml_[at_] == '_'))
      ++at_;
    if (at_ == from || std::isdigit(static_cast<unsigned char>(xml_[from]))) Fail("a name expected");
    return xml_.substr(from, at_ - from);
  }
  // Up to `end`, with entities replaced.
  std::string CharacterData(char end) {
    std::string text;
    while (at_ < xml_.size() && xml_[at_] != end) {
      if (xml_[at_] == '<') Fail("a bare '<'");
      if (xml_[at_] != '&') {
        text += xml_[at_++];
        continue;
      }
      static const std::map<std::string, char> kEntities = {
          {"&lt;", '<'}, {"&gt;", '>'}, {"&amp;", '&'}, {"&quot;", '"'}, {"&apos;", '\''}};
      const auto entity =
          std::find_if(kEntities.begin(), kEntities.end(), [&](const auto& e) { return Next(e.first); });
      if (entity == kEntities.end()) Fail("a bare '&'");
      text += entity->second;
      at_ += entity->first.size();
    }
    return text;
  }
  Node Element() {
    if (!Next("<")) Fail("'<' expected");
    ++at_;
    Node node;
    node.name = Name();
    for (;;) {
      SkipSpace();
      if (Next("/>")) {
        at_ += 2;
        return node;
      }
      if (Next(">")) break;
      const std::string attribute = Name();
      if (!Next("=\"")) Fail("an attribute without a double-quoted value");
      at_ += 2;
      if (!node.attributes.emplace(attribute, CharacterData('"')).second) Fail("attribute given twice");
      ++at_;
    }
    ++at_;
    for (;;) {
      node.text += CharacterData('<');
      if (at_ >= xml_.size()) Fail("<" + node.name + "> never closed");
      if (Next("</")) break;
      node.children.push_back(Element());
    }
    at_ += 2;
    if (Name() != node.name || !Next(">")) Fail("</" + node.name + "> expected");
    ++at_;
    return node;
  }

  const std::string& xml_;
  std::size_t at_ = 0;
};

// "4:00:01" or "4:00:01.500" back to machine time.
std::uint64_t TimeOf(const std::string& text) {
  unsigned h = 0, m = 0, s = 0, ms = 0;
  const int read = std::sscanf(text.c_str(), "%u:%u:%u.%u", &h, &m, &s, &ms);
  if (read < 3) throw std::runtime_error("not a time: " + text);
  return h * kHour + m * kMinute + s * kSecond + ms;
}

// The picture's own measure of a label: no sans-serif letter is wider.
double TextWidth(const Node& text) {
  const double size = text.Get("font-size").empty() ? 11 : text.Number("font-size");
  const auto characters = std::count_if(text.text.begin(), text.text.end(),
                                        [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; });
  return 0.62 * size * static_cast<double>(characters);
}

// Left and right of a text as its anchor places it.
std::pair<double, double> Extent(const Node& text) {
  const double x = text.Number("x"), width = TextWidth(text);
  const std::string anchor = text.Get("text-anchor");
  if (anchor == "end") return {x - width, x};
  if (anchor == "middle") return {x - width / 2, x + width / 2};
  return {x, x + width};
}

// Texts that leave the canvas, by their text.
std::vector<std::string> TextsOutside(const Node& root) {
  std::vector<std::string> outside;
  for (const Node* text : root.All("text")) {
    const auto [left, right] = Extent(*text);
    if (left < 0 || right > root.Number("width")) outside.push_back(text->text);
  }
  return outside;
}

// One panel of the picture: its lanes and its axis.
class Panel {
 public:
  explicit Panel(Node group) : group_(std::move(group)) {
    for (const Node* tick : group_.All("text", "tick")) ticks_.emplace_back(TimeOf(tick->text), tick->Number("x"));
    if (ticks_.size() < 2) throw std::runtime_error("fewer than two ticks");
  }
  const Node& Lane(const std::string& name) const {
    for (const Node* lane : group_.All("g", "lane"))
      for (const Node& child : lane->children)
        if (child.HasClass("lane-name") && child.text == name) return *lane;
    throw std::runtime_error("no lane " + name);
  }
  // Where the axis puts a time.
  double X(std::uint64_t timeMs) const {
    const auto& [t0, x0] = ticks_.front();
    const auto& [t1, x1] = ticks_.back();
    return x0 + (x1 - x0) * (static_cast<double>(timeMs) - static_cast<double>(t0)) / static_cast<double>(t1 - t0);
  }
  const std::vector<std::pair<std::uint64_t, double>>& Ticks() const { return ticks_; }

 private:
  Node group_;
  std::vector<std::pair<std::uint64_t, double>> ticks_;
};

std::vector<std::string> Labels(const Node& lane) {
  std::vector<std::string> labels;
  for (const Node* label : lane.All("text", "label")) labels.push_back(label->text);
  return labels;
}

bool Has(const std::vector<std::string>& all, const std::string& one) {
  return std::find(all.begin(), all.end(), one) != all.end();
}

// A run as the runner reports it, built up in time order.
class RunOf {
 public:
  explicit RunOf(std::uint64_t endMs) { run_.endMs = endMs; }
  RunOf& Process(std::uint64_t startMs) {
    run_.processes.push_back({});
    run_.processes.back().startMs = startMs;
    return See(startMs, Observation::Kind::kControl, "start");
  }
  RunOf& Ends(std::uint64_t atMs, const std::string& how) {
    run_.processes.back().endMs = atMs;
    run_.processes.back().end = how;
    return *this;
  }
  RunOf& Status(std::uint64_t atMs, const std::string& state) {
    return See(atMs, Observation::Kind::kStatus, state, "SERVICE_" + state + " accepts 0xC5");
  }
  RunOf& Device(const std::string& name, bool presentAtEnd = true) {
    run_.devices.push_back({name, presentAtEnd, false, std::nullopt});
    return *this;
  }
  // A control the scenario sent, delivered or not.
  RunOf& Sent(std::uint64_t atMs, const std::string& what, bool delivered = true) {
    scenario::ControlSent sent;
    sent.atMs = sent.deliveredAtMs = atMs;
    sent.what = what;
    sent.delivered = delivered;
    sent.refusal = delivered ? "" : "ERROR_SERVICE_NOT_ACTIVE";
    run_.controls.push_back(sent);
    return See(atMs, Observation::Kind::kControl, what);
  }
  RunOf& See(std::uint64_t atMs, Observation::Kind kind, const std::string& subject, const std::string& text = "",
             const std::string& detail = "") {
    Observation o;
    o.timeMs = atMs;
    o.kind = kind;
    o.subject = subject;
    o.text = text.empty() ? subject : text;
    o.detail = detail;
    o.process = static_cast<int>(run_.processes.size()) - 1;
    run_.timeline.push_back(o);
    return *this;
  }
  const RunResult& run() const { return run_; }

 private:
  RunResult run_;
};

struct Drawn {
  std::string svg;
  Node root;
  const Node& Group(const std::string& cls) const {
    const auto groups = root.All("g", cls);
    if (groups.size() != 1) throw std::runtime_error("no single group " + cls);
    return *groups.front();
  }
};

Drawn Draw(const std::string& scenarioText, const RunResult& run, const std::vector<ExpectationFailure>& failures = {},
           const std::vector<Violation>& broken = {}) {
  const scenario::Scenario s = scenario::ParseScenario(scenarioText, "lid.scn");
  Drawn drawn;
  drawn.svg = scenario::TimelineSvg(s, run, failures, broken);
  drawn.root = XmlReader::Document(drawn.svg);
  return drawn;
}

TEST(TimelineSvg, ReaderRejectsWhatIsNotWellFormed) {
  for (const char* bad : {"<svg><g></svg>", "<svg a=\"1\" a=\"2\"/>", "<svg>a < b</svg>", "<svg>a & b</svg>",
                          "<svg x=1/>", "<svg/><svg/>"})
    EXPECT_THROW(XmlReader::Document(std::string("<?xml version=\"1.0\"?>\n") + bad), std::runtime_error) << bad;
  EXPECT_EQ("a<b", XmlReader::Document("<?xml version=\"1.0\"?><svg>a&lt;b</svg>").text);
}

TEST(TimelineSvg, SelfContainedSvgWithTheScenarioAndItsVerdict) {
  const std::string text = "expect state RUNNING\nexpect by 5m debug \"x\"\n";
  const RunResult run = RunOf(10 * kMinute).Process(0).Status(0, "RUNNING").run();
  struct Case {
    std::vector<ExpectationFailure> failures;
    std::vector<Violation> broken;
    std::string verdict;
  };
  const Case cases[] = {
      {{}, {}, "2 of 2 expectations held, 0 promises broken"},
      {{{2, "by 0:05:00.000: debug \"x\"", "no debug line in that time"}},
       {{"WbioSrvc running at the end", "\"sc stop WbioSrvc\" at 0:01:00.000 & <no> start"}},
       "1 of 2 expectations held, 1 promises broken"},
  };
  for (const Case& c : cases) {
    const Drawn drawn = Draw(text, run, c.failures, c.broken);
    EXPECT_EQ("svg", drawn.root.name);
    EXPECT_EQ("http://www.w3.org/2000/svg", drawn.root.Get("xmlns"));
    EXPECT_EQ("1.1", drawn.root.Get("version"));
    ASSERT_EQ(1u, drawn.root.All("text", "title").size());
    EXPECT_EQ("lid.scn", drawn.root.All("text", "title")[0]->text);
    ASSERT_EQ(1u, drawn.root.All("text", "verdict").size());
    EXPECT_EQ(c.verdict, drawn.root.All("text", "verdict")[0]->text);
    EXPECT_EQ("lid.scn: " + c.verdict, drawn.root.Tooltip());
    // Nothing from elsewhere: no script, style sheet, image, link or font.
    for (const char* outside : {"<script", "<style", "<image", "href", "@font-face", "<font"})
      EXPECT_EQ(std::string::npos, drawn.svg.find(outside)) << outside;
    EXPECT_EQ(drawn.svg, Draw(text, run, c.failures, c.broken).svg);
  }
}

TEST(TimelineSvg, EveryEventCommandAndChangeLabelledWithTheLegendOfWhatIsUsed) {
  const std::string text =
      "device sensor \"S\"\n"
      "at 30m setting ServicePollingTime = 5\n"
      "at 40m firmware EssState = 00\n";
  const RunResult run =
      RunOf(kHour)
          .Process(0)
          .Status(0, "RUNNING")
          .Device("sensor")
          .See(0, Observation::Kind::kRegistry, "Enum\\0001\\WinBio\\Configurations\\SecureFingerprint",
               "HKLM\\Enum\\0001\\WinBio\\Configurations\\SecureFingerprint type 4 = 1", "1")
          .See(0, Observation::Kind::kRegistry, "Control\\ZefoFP\\Recovery", "HKLM\\Control\\ZefoFP\\Recovery = O:BA",
               "O:BA")
          .See(2 * kMinute, Observation::Kind::kCommand, "sc stop WbioSrvc")
          .Sent(5 * kMinute, "lid open")
          .Sent(20 * kMinute, "lock")
          .See(30 * kMinute, Observation::Kind::kControl, "setting ServicePollingTime")
          .See(40 * kMinute, Observation::Kind::kControl, "firmware EssState")
          .See(45 * kMinute, Observation::Kind::kRegistry, "Control\\ZefoFP\\Recovery\\DisabledDevices",
               "HKLM\\Control\\ZefoFP\\Recovery\\DisabledDevices type 7", "type 7")
          .Sent(50 * kMinute, "stop")
          .Sent(55 * kMinute, "control 130", false)
          .run();
  const Drawn drawn = Draw(text, run);
  const Panel whole(drawn.Group("whole-run"));
  const std::vector<std::string> events = Labels(whole.Lane("events"));
  for (const char* event : {"start", "lid open", "lock", "stop", "control 130"})
    EXPECT_TRUE(Has(events, event)) << event;
  EXPECT_EQ(5u, events.size());
  EXPECT_EQ(1u, whole.Lane("events").All("text", "not-delivered").size());
  EXPECT_EQ(std::vector<std::string>{"sc stop WbioSrvc"}, Labels(whole.Lane("commands")));
  const std::vector<std::string> changes = Labels(whole.Lane("registry, firmware"));
  for (const char* change : {"SecureFingerprint = 1", "key Recovery", "ServicePollingTime = 5",
                             "firmware EssState = 00", "DisabledDevices (type 7)"})
    EXPECT_TRUE(Has(changes, change)) << change;
  // A label starts at its tick.
  const auto delivered = whole.Lane("events").All("text", "delivered");
  const auto lid = std::find_if(delivered.begin(), delivered.end(), [](const Node* n) { return n->text == "lid open"; });
  ASSERT_NE(delivered.end(), lid);
  EXPECT_NEAR(whole.X(5 * kMinute) + 3, (*lid)->Number("x"), 0.1);

  // The legend names each style drawn, and only those.
  std::vector<std::string> legend;
  for (const Node* text : drawn.root.All("text", "legend")) legend.push_back(text->text);
  for (const char* used : {"service running", "device enabled", "event delivered to the service",
                           "event not delivered (refused or given up)", "command run",
                           "registry written by the service", "registry or firmware value the scenario set"})
    EXPECT_TRUE(Has(legend, used)) << used;
  for (const char* unused :
       {"device absent", "device disabled", "promise broken", "stretch drawn again, zoomed, below"})
    EXPECT_FALSE(Has(legend, unused)) << unused;
}

TEST(TimelineSvg, CrowdedLabelsAreStaggeredOrCountedNeverDrawnOverEachOther) {
  // Forty events within twenty seconds of a ten-hour run fall on a few pixels.
  RunOf crowded(10 * kHour);
  crowded.Process(0).Status(0, "RUNNING");
  const char* const kinds[] = {"lock", "unlock", "lid open", "lid close", "display dimmed"};
  for (std::uint64_t i = 0; i < 40; ++i) crowded.Sent(4 * kHour + i * 500, kinds[i % 5]);
  const Drawn drawn = Draw("", crowded.run());
  // The zoomed panel shows the forty, the whole run the start too.
  for (const auto& [panel, events] : {std::pair{"whole-run", 41u}, std::pair{"zoomed", 40u}}) {
    const Panel drawnPanel(drawn.Group(panel));
    const Node& lane = drawnPanel.Lane("events");
    std::map<double, std::vector<std::pair<double, double>>> rows;
    std::size_t shown = 0;
    for (const Node* label : lane.All("text", "label")) {
      rows[label->Number("y")].push_back(Extent(*label));
      const std::size_t plus = label->text.rfind(" +");
      shown += 1 + (plus == std::string::npos ? 0 : std::stoul(label->text.substr(plus + 2)));
    }
    EXPECT_EQ(events, shown) << panel;
    for (auto& [y, extents] : rows) {
      std::sort(extents.begin(), extents.end());
      for (std::size_t i = 1; i < extents.size(); ++i)
        EXPECT_GE(extents[i].first, extents[i - 1].second) << panel << " row at " << y;
    }
  }
}

TEST(TimelineSvg, DeviceLaneShowsAbsenceAndAOneSecondRecoveryInATenHourRun) {
  const RunResult run =
      RunOf(10 * kHour)
          .Process(0)
          .Status(0, "RUNNING")
          .Device("sensor", false)
          .See(5 * kMinute, Observation::Kind::kControl, "add sensor")
          .See(4 * kHour, Observation::Kind::kControl, "problem sensor 43")
          .See(4 * kHour + kSecond, Observation::Kind::kDevice, "sensor", "disable sensor", "disable")
          .See(4 * kHour + 2 * kSecond, Observation::Kind::kDevice, "sensor", "enable sensor", "enable")
          .See(8 * kHour, Observation::Kind::kControl, "remove sensor")
          .run();
  const Drawn drawn = Draw("device sensor \"S\" absent\n", run);
  const Panel whole(drawn.Group("whole-run"));
  const Node& lane = whole.Lane("device sensor");
  const auto absent = lane.All("rect", "absent");
  ASSERT_EQ(2u, absent.size());
  std::vector<std::pair<double, double>> spans;
  for (const Node* rect : absent) spans.emplace_back(rect->Number("x"), rect->Number("x") + rect->Number("width"));
  std::sort(spans.begin(), spans.end());
  EXPECT_NEAR(whole.X(0), spans[0].first, 0.1);
  EXPECT_NEAR(whole.X(5 * kMinute), spans[0].second, 0.1);
  EXPECT_NEAR(whole.X(8 * kHour), spans[1].first, 0.1);
  EXPECT_NEAR(whole.X(10 * kHour), spans[1].second, 0.1);
  EXPECT_EQ(2u, lane.All("rect", "enabled").size());

  const auto disabled = lane.All("rect", "disabled");
  ASSERT_EQ(1u, disabled.size());
  EXPECT_NEAR(whole.X(4 * kHour + kSecond), disabled[0]->Number("x"), 0.1);
  EXPECT_GE(disabled[0]->Number("width"), 3.0);
  EXPECT_NE(std::string::npos, disabled[0]->Tooltip().find("4:00:01.000 to 4:00:02.000"));
  EXPECT_EQ(std::vector<std::string>{"problem 43"}, Labels(lane));
}

TEST(TimelineSvg, ServiceStatesAsSpansUntilTheProcessIsGone) {
  const RunResult run = RunOf(kHour)
                            .Process(0)
                            .Status(0, "START_PENDING")
                            .Status(2 * kSecond, "RUNNING")
                            .Status(10 * kMinute, "STOP_PENDING")
                            .Status(10 * kMinute + kSecond, "STOP_PENDING")
                            .Status(11 * kMinute, "STOPPED")
                            .Ends(11 * kMinute, "main thread returned")
                            .Process(20 * kMinute)
                            .Status(20 * kMinute, "START_PENDING")
                            .Status(20 * kMinute + kSecond, "RUNNING")
                            .Ends(30 * kMinute, "TerminateProcess")
                            .run();
  const Panel whole(Draw("", run).Group("whole-run"));
  std::vector<std::pair<double, std::string>> spans;
  for (const Node* rect : whole.Lane("service").All("rect")) spans.emplace_back(rect->Number("x"), rect->Get("class"));
  std::sort(spans.begin(), spans.end());
  std::vector<std::string> states;
  for (const auto& [x, state] : spans) states.push_back(state);
  EXPECT_EQ((std::vector<std::string>{"start-pending", "running", "stop-pending", "stopped", "start-pending", "running",
                                      "process-gone"}),
            states);
  EXPECT_NEAR(whole.X(30 * kMinute), spans.back().first, 0.1);
}

TEST(TimelineSvg, FailedChecksMarkedAtTheirTimeWithAShortLabelAndTheirTextInATooltip) {
  const std::string text =
      "expect by 5m state RUNNING\n"
      "expect never debug \"oops\"\n"
      "expect state STOPPED\n";
  struct Case {
    std::optional<ExpectationFailure> failure;
    std::optional<Violation> broken;
    std::uint64_t markedAtMs;
    std::string label;
  };
  const Case cases[] = {
      {ExpectationFailure{1, "by 0:05:00.000: state RUNNING", "no status line in that time"}, std::nullopt, 5 * kMinute,
       "line 1: state RUNNING"},
      {ExpectationFailure{2, "never debug \"oops\"", "seen at 0:07:00.000 oops"}, std::nullopt, 7 * kMinute,
       "line 2: never debug \"oops\""},
      {ExpectationFailure{3, "at the end: state STOPPED", "final state at 0:20:00.000: RUNNING"}, std::nullopt,
       20 * kMinute, "line 3: state STOPPED"},
      {std::nullopt,
       Violation{"control handler back within 30 s", "stop at 0:12:00.000: handler returned after 0:00:40.000"},
       12 * kMinute, "control handler back within 30 s"},
      {std::nullopt, Violation{"no handle left open after the service stopped", "1 handle(s) open"}, 20 * kMinute,
       "no handle left open after the..."},
  };
  const RunResult run = RunOf(20 * kMinute).Process(0).Status(0, "RUNNING").run();
  for (const Case& c : cases) {
    const std::vector<ExpectationFailure> failures =
        c.failure ? std::vector{*c.failure} : std::vector<ExpectationFailure>{};
    const std::vector<Violation> broken = c.broken ? std::vector{*c.broken} : std::vector<Violation>{};
    const Drawn drawn = Draw(text, run, failures, broken);
    const Panel whole(drawn.Group("whole-run"));
    const Node& lane = whole.Lane("failed checks");
    const char* cls = c.failure ? "failed-expectation" : "broken-promise";
    const auto marks = lane.All("path", cls);
    ASSERT_EQ(1u, marks.size()) << c.label;
    const std::string detail = c.failure ? c.failure->happened : c.broken->detail;
    EXPECT_NE(std::string::npos, marks[0]->Tooltip().find(detail)) << c.label;
    EXPECT_EQ(std::vector<std::string>{c.label}, Labels(lane));
    EXPECT_EQ(std::vector<std::string>{}, TextsOutside(drawn.root)) << c.label;
    // Its line runs at its time through the lanes below.
    const auto lines = drawn.Group("whole-run").All("line", cls);
    ASSERT_EQ(1u, lines.size()) << c.label;
    EXPECT_NEAR(whole.X(c.markedAtMs), lines[0]->Number("x1"), 0.1) << c.label;
    EXPECT_GT(lines[0]->Number("y2") - lines[0]->Number("y1"), 100.0) << c.label;
  }
}

TEST(TimelineSvg, AxisTicksAtRoundTimesForTheRunsLengthAndInsideTheCanvas) {
  struct Case {
    std::uint64_t endMs;
    std::uint64_t stepMs;
  };
  const Case cases[] = {{1500, 200},
                        {30 * kSecond, 5 * kSecond},
                        {90 * kSecond, 10 * kSecond},
                        {10 * kMinute, kMinute},
                        {2 * kHour + 30 * kMinute, 15 * kMinute},
                        {9 * kHour + kMinute, kHour},
                        {3 * 24 * kHour, 12 * kHour}};
  for (const Case& c : cases) {
    const Drawn drawn = Draw("", RunOf(c.endMs).Process(0).Status(0, "RUNNING").run());
    const double width = drawn.root.Number("width");
    const Node whole = drawn.Group("whole-run");
    const auto ticks = whole.All("text", "tick");
    ASSERT_GE(ticks.size(), 2u) << c.endMs;
    EXPECT_LE(ticks.size(), 11u) << c.endMs;
    for (std::size_t i = 0; i < ticks.size(); ++i) {
      EXPECT_EQ(i * c.stepMs, TimeOf(ticks[i]->text)) << c.endMs << " " << ticks[i]->text;
      const auto [left, right] = Extent(*ticks[i]);
      EXPECT_GE(left, 0) << c.endMs << " " << ticks[i]->text;
      EXPECT_LE(right, width) << c.endMs << " " << ticks[i]->text;
    }
    EXPECT_GT((ticks.size()) * c.stepMs, c.endMs) << "the last round time within the run is ticked";
  }
}

TEST(TimelineSvg, ALongRunIsZoomedAroundItsBusiestStretchASpreadOneIsNot) {
  RunOf longRun(10 * kHour);
  longRun.Process(0).Status(0, "RUNNING").Device("sensor").Sent(kHour, "lock").Sent(2 * kHour, "unlock");
  longRun.See(4 * kHour, Observation::Kind::kControl, "problem sensor 43")
      .See(4 * kHour + kSecond, Observation::Kind::kDevice, "sensor", "disable sensor", "disable")
      .See(4 * kHour + 2 * kSecond, Observation::Kind::kDevice, "sensor", "enable sensor", "enable")
      .Sent(9 * kHour, "shutdown");
  const Drawn drawn = Draw("", longRun.run());
  const Panel zoomed(drawn.Group("zoomed"));
  const auto& ticks = zoomed.Ticks();
  EXPECT_LE(ticks.front().first, 4 * kHour);
  EXPECT_GE(ticks.back().first, 4 * kHour + 2 * kSecond);
  EXPECT_LE(ticks.back().first - ticks.front().first, kHour);
  const auto disabled = zoomed.Lane("device sensor").All("rect", "disabled");
  ASSERT_EQ(1u, disabled.size());
  EXPECT_GT(disabled[0]->Number("width"), 100.0);
  // The whole run shows which stretch is drawn again.
  const auto band = drawn.Group("whole-run").All("rect", "zoomed");
  ASSERT_EQ(1u, band.size());
  EXPECT_LE(band[0]->Number("x"), Panel(drawn.Group("whole-run")).X(4 * kHour));

  // Nothing to pull apart: each stretch holds one instant.
  RunOf spread(10 * kMinute);
  spread.Process(0).Status(0, "RUNNING").Sent(kMinute, "lock").Sent(kMinute, "lid open").Sent(5 * kMinute, "unlock");
  EXPECT_TRUE(Draw("", spread.run()).root.All("g", "zoomed").empty());
}

}  // namespace
