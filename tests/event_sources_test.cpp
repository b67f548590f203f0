// Install registers the two event sources at the executable, remove deletes
// them, each only where the key is missing or ours; neither changes the
// console text, and a source left as it was is only logged.
#include "sim_fixture.h"
#include "service/event_sources.h"

namespace {

const std::wstring kInstalled = L"ZEFOTestService is installed.\n";
const std::wstring kRemoved = L"ZEFOTestService is removed.\n";
const std::wstring kApplicationLog = kApplicationLogKeyPath;
const std::wstring kServiceSourceKey = kApplicationLog + L"\\ZEFO/Service";
const std::wstring kDebugSourceKey = kApplicationLog + L"\\ZEFO / Debug";
const std::wstring kDefaultPath = L"C:\\Program Files\\ZEFO\\ZefoFpService.exe";

class EventSources : public SimTest {
 protected:
  bool Installed() { return machine.scm.Service(L"ZEFOTestService").has_value(); }

  // EventMessageFile is the executable's path as REG_EXPAND_SZ, terminator
  // included; TypesSupported is error | warning | information.
  void ExpectRegisteredAt(const std::wstring& sourceKey, const std::wstring& path) {
    SCOPED_TRACE(testing::Message() << "source key of " << sourceKey.size() << " chars");
    auto file = machine.registry.Value(sourceKey, L"EventMessageFile");
    ASSERT_TRUE(file);
    EXPECT_EQ(static_cast<DWORD>(REG_EXPAND_SZ), file->type);
    EXPECT_EQ(sim::RegistryModel::StringBytes(path), file->data);
    EXPECT_EQ(std::optional<DWORD>(7), machine.registry.Dword(sourceKey, L"TypesSupported"));
  }

  std::vector<std::wstring> RegistryJournal() {
    std::vector<std::wstring> lines;
    for (const sim::JournalEntry& e : machine.Journal())
      if (e.kind == sim::JournalKind::kRegistry) lines.push_back(e.text);
    return lines;
  }
};

TEST_F(EventSources, InstallRegistersBothSourcesAtTheExecutable) {
  EXPECT_EQ(0, RunWmain({L"-install"}));
  EXPECT_EQ(kInstalled, Console());
  ExpectRegisteredAt(kServiceSourceKey, kDefaultPath);
  ExpectRegisteredAt(kDebugSourceKey, kDefaultPath);
}

TEST_F(EventSources, InstallWithLoggingOnLogsNothingMoreWhenTheRegistrationsSucceed) {
  EnableLogging();
  RunWmain({L"-install"});
  EXPECT_EQ((std::vector<std::wstring>{L"[ZEFO Service] Enter wmain...", L"[ZEFO Service] Eixt wmain..."}),
            EventMessages());
}

TEST_F(EventSources, ReinstallFromAnotherFolderPointsAtTheNewExecutable) {
  // Left behind by an earlier install whose sources were never removed.
  machine.registry.SetValue(kServiceSourceKey, L"EventMessageFile", REG_SZ,
                            sim::RegistryModel::StringBytes(L"C:\\Old\\ZefoFpService.exe"));
  machine.registry.SetDword(kServiceSourceKey, L"TypesSupported", 1);
  machine.registry.SetValue(kDebugSourceKey, L"EventMessageFile", REG_EXPAND_SZ,
                            sim::RegistryModel::StringBytes(L"C:\\Old\\ZefoFpService.exe"));
  MoveProgram(L"C:\\Program Files\\ZEFO Tools\\ZefoFpService.exe");
  RunWmain({L"-install"});
  EXPECT_EQ(kInstalled, Console());
  ExpectRegisteredAt(kServiceSourceKey, L"C:\\Program Files\\ZEFO Tools\\ZefoFpService.exe");
  ExpectRegisteredAt(kDebugSourceKey, L"C:\\Program Files\\ZEFO Tools\\ZefoFpService.exe");
}

TEST_F(EventSources, InstallRemoveInstallFromAnotherFolder) {
  RunWmain({L"-install"});
  RunWmain({L"-remove"});
  MoveProgram(L"C:\\Program Files\\ZefoFpService.exe");
  RunWmain({L"-install"});
  EXPECT_EQ(kInstalled + kRemoved + kInstalled, Console());
  ExpectRegisteredAt(kServiceSourceKey, L"C:\\Program Files\\ZefoFpService.exe");
  ExpectRegisteredAt(kDebugSourceKey, L"C:\\Program Files\\ZefoFpService.exe");
}

TEST_F(EventSources, RemoveDeletesExactlyTheTwoRegistrations) {
  machine.registry.SetDword(kApplicationLog, L"MaxSize", 0x1400000);
  machine.registry.SetDword(kApplicationLog + L"\\Other", L"TypesSupported", 7);
  machine.registry.SetDword(kApplicationLog + L"\\ZEFO", L"TypesSupported", 7);
  RunWmain({L"-install"});
  RunWmain({L"-remove"});
  EXPECT_EQ(kInstalled + kRemoved, Console());
  EXPECT_FALSE(Installed());
  EXPECT_FALSE(machine.registry.KeyExists(kServiceSourceKey));
  EXPECT_FALSE(machine.registry.KeyExists(kDebugSourceKey));
  EXPECT_EQ(std::optional<DWORD>(0x1400000), machine.registry.Dword(kApplicationLog, L"MaxSize"));
  EXPECT_EQ(std::optional<DWORD>(7), machine.registry.Dword(kApplicationLog + L"\\Other", L"TypesSupported"));
  EXPECT_EQ(std::optional<DWORD>(7), machine.registry.Dword(kApplicationLog + L"\\ZEFO", L"TypesSupported"));
  const std::wstring root = L"HKLM\\" + kApplicationLog;
  EXPECT_EQ((std::vector<std::wstring>{
                L"RegCreateKeyExW " + root + L"\\ZEFO/Service",
                L"RegSetValueExW " + root + L"\\ZEFO/Service\\EventMessageFile type 2",
                L"RegSetValueExW " + root + L"\\ZEFO/Service\\TypesSupported type 4 = 7",
                L"RegCreateKeyExW " + root + L"\\ZEFO / Debug",
                L"RegSetValueExW " + root + L"\\ZEFO / Debug\\EventMessageFile type 2",
                L"RegSetValueExW " + root + L"\\ZEFO / Debug\\TypesSupported type 4 = 7",
                L"RegDeleteKeyW " + root + L"\\ZEFO/Service",
                L"RegDeleteKeyW " + root + L"\\ZEFO / Debug",
            }),
            RegistryJournal());
}

TEST_F(EventSources, RemovingWhenTheSourcesAreGoneLogsNothingMore) {
  EnableLogging();
  machine.scm.AddService(L"ZEFOTestService");
  RunWmain({L"-remove"});
  EXPECT_EQ(kRemoved, Console());
  EXPECT_EQ((std::vector<std::wstring>{L"[ZEFO Service] Enter wmain...", L"[ZEFO Service] Eixt wmain..."}),
            EventMessages());
}

struct RegistrationFailure {
  const char* op;
  std::wstring subject;  // empty: the first call of op
  std::wstring message;
  bool serviceSourceKeyLeft;
};
class FailedRegistration : public EventSources, public ::testing::WithParamInterface<RegistrationFailure> {};

TEST_P(FailedRegistration, IsLoggedAndTheInstallStillSucceeds) {
  const RegistrationFailure& c = GetParam();
  EnableLogging();
  if (c.subject.empty())
    machine.Fail(c.op, ERROR_ACCESS_DENIED);
  else
    machine.FailNamed(c.op, c.subject, ERROR_ACCESS_DENIED);
  EXPECT_EQ(0, RunWmain({L"-install"}));
  EXPECT_EQ(kInstalled, Console());
  EXPECT_TRUE(Installed());
  EXPECT_EQ((std::vector<std::wstring>{L"[ZEFO Service] Enter wmain...", c.message, L"[ZEFO Service] Eixt wmain..."}),
            EventMessages());
  EXPECT_EQ(EVENTLOG_WARNING_TYPE, machine.diagnostics.EventLog().at(1).type);
  EXPECT_EQ(L"ZEFO/Service", machine.diagnostics.EventLog().at(1).source);
  EXPECT_EQ(c.serviceSourceKeyLeft, machine.registry.KeyExists(kServiceSourceKey));
  // The other source is registered all the same.
  ExpectRegisteredAt(kDebugSourceKey, kDefaultPath);
}

INSTANTIATE_TEST_SUITE_P(
    Operations, FailedRegistration,
    ::testing::Values(
        RegistrationFailure{"RegOpenKeyExW", kServiceSourceKey,
                            L"[ZEFO Service] Event source ZEFO/Service not registered, RegOpenKeyExW failed w/err "
                            L"0x00000005",
                            false},
        RegistrationFailure{"RegCreateKeyExW", L"",
                            L"[ZEFO Service] Event source ZEFO/Service not registered, RegCreateKeyExW failed w/err "
                            L"0x00000005",
                            false},
        RegistrationFailure{"RegSetValueExW", L"EventMessageFile",
                            L"[ZEFO Service] Event source ZEFO/Service not registered, "
                            L"RegSetValueExW(EventMessageFile) failed w/err 0x00000005",
                            true},
        RegistrationFailure{"RegSetValueExW", L"TypesSupported",
                            L"[ZEFO Service] Event source ZEFO/Service not registered, "
                            L"RegSetValueExW(TypesSupported) failed w/err 0x00000005",
                            true}));

// What the ZEFO/Service key holds before install or remove.
struct ExistingSourceKey {
  const char* what;
  bool keyExists;
  std::optional<sim::RegValue> messageFile;
  bool ours;  // missing counts: install makes it, remove has nothing to delete
};
void PrintTo(const ExistingSourceKey& c, std::ostream* os) { *os << c.what; }

class SourceKeyOwnership : public EventSources, public ::testing::WithParamInterface<ExistingSourceKey> {
 protected:
  // The key as the case has it, with TypesSupported 1 beside its EventMessageFile.
  void SetUpServiceSourceKey() {
    const ExistingSourceKey& c = GetParam();
    if (!c.keyExists) return;
    machine.registry.SetDword(kServiceSourceKey, L"TypesSupported", 1);
    if (c.messageFile)
      machine.registry.SetValue(kServiceSourceKey, L"EventMessageFile", c.messageFile->type, c.messageFile->data);
  }
  // Another program's key is left exactly as it was.
  void ExpectServiceSourceKeyUntouched() {
    const ExistingSourceKey& c = GetParam();
    auto file = machine.registry.Value(kServiceSourceKey, L"EventMessageFile");
    ASSERT_EQ(c.messageFile.has_value(), file.has_value());
    if (file) {
      EXPECT_EQ(c.messageFile->type, file->type);
      EXPECT_EQ(c.messageFile->data, file->data);
    }
    EXPECT_EQ(std::optional<DWORD>(1), machine.registry.Dword(kServiceSourceKey, L"TypesSupported"));
  }
  std::vector<std::wstring> ExpectedMessages(const std::wstring& notDone) {
    std::vector<std::wstring> messages{L"[ZEFO Service] Enter wmain..."};
    if (!GetParam().ours)
      messages.push_back(L"[ZEFO Service] Event source ZEFO/Service not " + notDone +
                         L", its key is another program's");
    messages.push_back(L"[ZEFO Service] Eixt wmain...");
    return messages;
  }
};

TEST_P(SourceKeyOwnership, InstallRegistersOnlyAMissingOrOwnKey) {
  SetUpServiceSourceKey();
  EnableLogging();
  EXPECT_EQ(0, RunWmain({L"-install"}));
  EXPECT_EQ(kInstalled, Console());
  EXPECT_EQ(ExpectedMessages(L"registered"), EventMessages());
  if (GetParam().ours)
    ExpectRegisteredAt(kServiceSourceKey, kDefaultPath);
  else
    ExpectServiceSourceKeyUntouched();
  ExpectRegisteredAt(kDebugSourceKey, kDefaultPath);
}

TEST_P(SourceKeyOwnership, RemoveDeletesOnlyAnOwnKey) {
  machine.scm.AddService(L"ZEFOTestService");
  machine.registry.SetValue(kDebugSourceKey, L"EventMessageFile", REG_EXPAND_SZ,
                            sim::RegistryModel::StringBytes(kDefaultPath));
  SetUpServiceSourceKey();
  EnableLogging();
  EXPECT_EQ(0, RunWmain({L"-remove"}));
  EXPECT_EQ(kRemoved, Console());
  EXPECT_EQ(ExpectedMessages(L"removed"), EventMessages());
  if (GetParam().ours)
    EXPECT_FALSE(machine.registry.KeyExists(kServiceSourceKey));
  else
    ExpectServiceSourceKeyUntouched();
  EXPECT_FALSE(machine.registry.KeyExists(kDebugSourceKey));
}

sim::RegValue Text(DWORD type, const std::wstring& text) { return {type, sim::RegistryModel::StringBytes(text)}; }

INSTANTIATE_TEST_SUITE_P(
    Keys, SourceKeyOwnership,
    ::testing::Values(ExistingSourceKey{"missing", false, std::nullopt, true},
                      ExistingSourceKey{"ours in another folder, another letter case", true,
                                        Text(REG_EXPAND_SZ, L"D:\\Old\\ZEFOFPSERVICE.EXE"), true},
                      ExistingSourceKey{"ours as REG_SZ, by an environment variable", true,
                                        Text(REG_SZ, L"%ProgramFiles%\\ZEFO\\ZefoFpService.exe"), true},
                      ExistingSourceKey{"another program's", true,
                                        Text(REG_EXPAND_SZ, L"C:\\Program Files\\Other\\OtherService.exe"), false},
                      ExistingSourceKey{"in a folder named like the executable", true,
                                        Text(REG_EXPAND_SZ, L"C:\\ZefoFpService.exe\\Messages.dll"), false},
                      ExistingSourceKey{"without EventMessageFile", true, std::nullopt, false},
                      ExistingSourceKey{"EventMessageFile not a string", true,
                                        Text(REG_BINARY, L"C:\\Program Files\\ZEFO\\ZefoFpService.exe"), false}));

TEST_F(EventSources, BothRegistrationsFailingLeaveTheInstallAsItWas) {
  machine.Fail("RegCreateKeyExW", ERROR_ACCESS_DENIED, -1);
  EnableLogging();
  RunWmain({L"-install"});
  EXPECT_EQ(kInstalled, Console());
  EXPECT_TRUE(Installed());
  EXPECT_EQ((std::vector<std::wstring>{
                L"[ZEFO Service] Enter wmain...",
                L"[ZEFO Service] Event source ZEFO/Service not registered, RegCreateKeyExW failed w/err 0x00000005",
                L"[ZEFO Service] Event source ZEFO / Debug not registered, RegCreateKeyExW failed w/err 0x00000005",
                L"[ZEFO Service] Eixt wmain...",
            }),
            EventMessages());
}

TEST_F(EventSources, AFailedInstallRegistersNoSource) {
  machine.Fail("CreateServiceW", ERROR_ACCESS_DENIED);
  RunWmain({L"-install"});
  EXPECT_EQ(L"CreateService failed w/err 0x00000005\n", Console());
  EXPECT_FALSE(machine.registry.KeyExists(kServiceSourceKey));
  EXPECT_FALSE(machine.registry.KeyExists(kDebugSourceKey));
}

TEST_F(EventSources, AFailedRemoveKeepsTheSources) {
  RunWmain({L"-install"});
  machine.Fail("DeleteService", ERROR_ACCESS_DENIED);
  RunWmain({L"-remove"});
  EXPECT_EQ(kInstalled + L"DeleteService failed w/err 0x00000005\n", Console());
  ExpectRegisteredAt(kServiceSourceKey, kDefaultPath);
  ExpectRegisteredAt(kDebugSourceKey, kDefaultPath);
}

TEST_F(EventSources, ASourceThatCannotBeDeletedIsLoggedAndTheRemoveStillSucceeds) {
  RunWmain({L"-install"});
  EnableLogging();
  machine.Fail("RegDeleteKeyW", ERROR_ACCESS_DENIED);
  RunWmain({L"-remove"});
  EXPECT_EQ(kInstalled + kRemoved, Console());
  EXPECT_FALSE(Installed());
  EXPECT_EQ((std::vector<std::wstring>{
                L"[ZEFO Service] Enter wmain...",
                L"[ZEFO Service] Event source ZEFO/Service not removed, RegDeleteKeyW failed w/err 0x00000005",
                L"[ZEFO Service] Eixt wmain...",
            }),
            EventMessages());
  EXPECT_TRUE(machine.registry.KeyExists(kServiceSourceKey));
  EXPECT_FALSE(machine.registry.KeyExists(kDebugSourceKey));
}

}  // namespace
