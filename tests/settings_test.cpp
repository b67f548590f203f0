#include <optional>

#include "diag/settings.h"
#include "sim_fixture.h"

namespace {

const std::wstring kPollingWarning =
    L"[ZEFO Service] ServicePollingTime = 0, Set ServicePollingTime default value = 2";

struct StoredValue {
  std::wstring name;
  DWORD type;
  std::vector<BYTE> data;
};

struct SettingsCase {
  const char* what;
  bool keyExists;
  std::vector<StoredValue> values;
  DWORD pollingTime;
  DWORD logSwitch;
  DWORD enableLogToFile;
  bool warning;
};

std::vector<BYTE> Dword(DWORD v) { return sim::RegistryModel::DwordBytes(v); }

class SettingsTest : public SimTest, public ::testing::WithParamInterface<SettingsCase> {};

TEST_P(SettingsTest, ReadsEachValueOrFallsBack) {
  const SettingsCase& c = GetParam();
  if (c.keyExists) machine.registry.CreateKey(kSettingsKey);
  for (const StoredValue& v : c.values) machine.registry.SetValue(kSettingsKey, v.name, v.type, v.data);

  LoadOtherSetting();

  EXPECT_EQ(c.pollingTime, g_dwServicePollingTime.load());
  EXPECT_EQ(c.logSwitch, g_dwLogSwitch.load());
  EXPECT_EQ(c.enableLogToFile, g_dwEnableLogToFile.load());
  std::vector<std::wstring> expected;
  if (c.warning) expected.push_back(kPollingWarning);
  EXPECT_EQ(expected, EventMessages());
  if (c.warning) {
    EXPECT_EQ(EVENTLOG_WARNING_TYPE, machine.diagnostics.EventLog().at(0).type);
  } else {
    EXPECT_TRUE(machine.diagnostics.DebugLines().empty());
  }
}

const std::wstring kTwo = L"2";
INSTANTIATE_TEST_SUITE_P(
    Cases, SettingsTest,
    ::testing::Values(
        SettingsCase{"no key", false, {}, 2, 0, 0, false},
        SettingsCase{"empty key", true, {}, 2, 0, 0, false},
        SettingsCase{"all set", true,
                     {{L"ServicePollingTime", REG_DWORD, Dword(5)},
                      {L"LOG_SWITCH", REG_DWORD, Dword(1)},
                      {L"ENABLE_LOG_TO_FILE", REG_DWORD, Dword(1)}},
                     5, 1, 1, false},
        SettingsCase{"polling time absent", true, {{L"LOG_SWITCH", REG_DWORD, Dword(1)}}, 2, 1, 0, true},
        SettingsCase{"polling time 0", true,
                     {{L"ServicePollingTime", REG_DWORD, Dword(0)}, {L"LOG_SWITCH", REG_DWORD, Dword(1)}},
                     2, 1, 0, true},
        SettingsCase{"polling time 0 with logging off", true, {{L"ServicePollingTime", REG_DWORD, Dword(0)}},
                     2, 0, 0, false},
        SettingsCase{"polling time as a string", true,
                     {{L"ServicePollingTime", REG_SZ, sim::RegistryModel::StringBytes(L"5")},
                      {L"LOG_SWITCH", REG_DWORD, Dword(1)}},
                     2, 1, 0, true},
        SettingsCase{"polling time of 8 bytes", true,
                     {{L"ServicePollingTime", REG_QWORD, {5, 0, 0, 0, 0, 0, 0, 0}},
                      {L"LOG_SWITCH", REG_DWORD, Dword(1)}},
                     2, 1, 0, true},
        SettingsCase{"REG_DWORD with 8 bytes of data", true,
                     {{L"ServicePollingTime", REG_DWORD, {5, 0, 0, 0, 0, 0, 0, 0}},
                      {L"LOG_SWITCH", REG_DWORD, Dword(1)}},
                     2, 1, 0, true},
        SettingsCase{"polling time 0xFFFFFFFF", true,
                     {{L"ServicePollingTime", REG_DWORD, Dword(0xFFFFFFFF)}, {L"LOG_SWITCH", REG_DWORD, Dword(1)}},
                     2, 1, 0, true},
        SettingsCase{"large polling time kept", true, {{L"ServicePollingTime", REG_DWORD, Dword(0xFFFFFFFE)}},
                     0xFFFFFFFE, 0, 0, false},
        SettingsCase{"log switch as a string", true,
                     {{L"ServicePollingTime", REG_DWORD, Dword(3)},
                      {L"LOG_SWITCH", REG_SZ, sim::RegistryModel::StringBytes(L"1")}},
                     3, 0, 0, false}),
    [](const ::testing::TestParamInfo<SettingsCase>& info) {
      std::string name = info.param.what;
      for (char& ch : name)
        if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
      return name;
    });

TEST_F(SettingsTest, EveryCallReadsAfreshAndWarnsAgain) {
  SetSetting(L"ServicePollingTime", 7);
  SetSetting(L"LOG_SWITCH", 1);
  LoadOtherSetting();
  EXPECT_EQ(7u, g_dwServicePollingTime.load());

  SetSetting(L"ServicePollingTime", 0);
  LoadOtherSetting();
  LoadOtherSetting();
  EXPECT_EQ((std::vector<std::wstring>{kPollingWarning, kPollingWarning}), EventMessages());

  machine.registry.DeleteKey(kSettingsKey);
  LoadOtherSetting();
  EXPECT_EQ(2u, g_dwServicePollingTime.load());
  EXPECT_EQ(0u, g_dwLogSwitch.load());
}

TEST_F(SettingsTest, NeverWritesTheKeyAndClosesIt) {
  SetSetting(L"LOG_SWITCH", 0);
  std::size_t handlesBefore = machine.kernel.OpenHandleCount();
  LoadOtherSetting();
  EXPECT_EQ(handlesBefore, machine.kernel.OpenHandleCount());
  for (const sim::JournalEntry& e : machine.Journal()) EXPECT_NE(sim::JournalKind::kRegistry, e.kind);
}

}  // namespace
