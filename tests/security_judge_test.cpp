// The one judge of who may change an object, read from its SDDL text: the
// forms Windows writes, the ACEs that count, and text it must not trust.
#include <gtest/gtest.h>

#include "diag/security_judge.h"

namespace {

constexpr wchar_t kTrustedInstaller[] = L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";
constexpr wchar_t kUser[] = L"S-1-5-21-1004336348-1177238915-682003330-1001";

struct JudgeCase {
  const char* name;
  std::wstring sddl;
  ACCESS_MASK changeRights;
  std::optional<Distrust::Reason> reason;  // none: trusted
  std::wstring account;
};

void PrintTo(const JudgeCase& c, std::ostream* os) { *os << c.name; }

class Judge : public ::testing::TestWithParam<JudgeCase> {};

TEST_P(Judge, FindsWhoElseMayChangeTheObject) {
  const JudgeCase& c = GetParam();
  const auto distrust = JudgeSecurity(c.sddl, c.changeRights);
  ASSERT_EQ(c.reason.has_value(), distrust.has_value()) << (distrust ? distrust->account : L"trusted");
  if (!distrust) return;
  EXPECT_EQ(*c.reason, distrust->reason);
  EXPECT_EQ(c.account, distrust->account);
}

const std::wstring kProgramFiles =
    std::wstring(L"O:") + kTrustedInstaller + L"G:" + kTrustedInstaller + L"D:PAI(A;;FA;;;" + kTrustedInstaller +
    L")(A;CIIO;GA;;;" + kTrustedInstaller +
    L")(A;;0x1301bf;;;SY)(A;OICIIO;GA;;;SY)(A;;0x1301bf;;;BA)(A;OICIIO;GA;;;BA)(A;;0x1200a9;;;BU)"
    L"(A;OICIIO;GXGR;;;BU)(A;OICIIO;GA;;;CO)(A;;0x1200a9;;;AC)(A;OICIIO;GXGR;;;AC)(A;;0x1200a9;;;S-1-15-2-2)"
    L"(A;OICIIO;GXGR;;;S-1-15-2-2)";
const std::wstring kSystemDriveRoot =
    L"O:SYG:SYD:PAI(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICI;0x1200a9;;;BU)(A;OICIIO;SDGXGWGR;;;AU)(A;;LC;;;AU)";

INSTANTIATE_TEST_SUITE_P(
    Descriptors, Judge,
    ::testing::Values(
        JudgeCase{"ProgramFiles", kProgramFiles, kFileChangeRights, std::nullopt, L""},
        JudgeCase{"AdministratorsFolder", L"O:BAD:AI(A;OICIID;FA;;;SY)(A;OICIID;FA;;;BA)(A;OICIID;0x1200a9;;;BU)",
                  kFileChangeRights, std::nullopt, L""},
        // Users may make folders in the root of the system drive: harmless
        // above the install folder, not in it.
        JudgeCase{"SystemDriveRootAbove", kSystemDriveRoot, kAncestorFolderChangeRights, std::nullopt, L""},
        JudgeCase{"SystemDriveRootAsTheFolder", kSystemDriveRoot, kFileChangeRights, Distrust::Reason::kWriter,
                  L"S-1-5-11"},
        JudgeCase{"FolderUsersMayModify", L"O:BAD:AI(A;OICIID;FA;;;BA)(A;OICIID;SDGWGR;;;AU)", kFileChangeRights,
                  Distrust::Reason::kWriter, L"S-1-5-11"},
        // Each right that changes a file, alone, in hex as Windows writes a
        // mask no letters name.
        JudgeCase{"WriteData", L"O:SYD:(A;;0x2;;;BU)", kFileChangeRights, Distrust::Reason::kWriter,
                  L"S-1-5-32-545"},
        JudgeCase{"AppendData", L"O:SYD:(A;;0x4;;;BU)", kFileChangeRights, Distrust::Reason::kWriter,
                  L"S-1-5-32-545"},
        JudgeCase{"DeleteChild", L"O:SYD:(A;;0x40;;;WD)", kAncestorFolderChangeRights, Distrust::Reason::kWriter,
                  L"S-1-1-0"},
        JudgeCase{"Delete", L"O:SYD:(A;;SD;;;WD)", kAncestorFolderChangeRights, Distrust::Reason::kWriter,
                  L"S-1-1-0"},
        JudgeCase{"WriteDac", L"O:SYD:(A;;WD;;;WD)", kAncestorFolderChangeRights, Distrust::Reason::kWriter,
                  L"S-1-1-0"},
        JudgeCase{"WriteOwner", L"O:SYD:(A;;WO;;;WD)", kAncestorFolderChangeRights, Distrust::Reason::kWriter,
                  L"S-1-1-0"},
        JudgeCase{"GenericWrite", L"O:SYD:(A;;GW;;;IU)", kFileChangeRights, Distrust::Reason::kWriter, L"S-1-5-4"},
        JudgeCase{"GenericAll", L"O:SYD:(A;;GA;;;IU)", kAncestorFolderChangeRights, Distrust::Reason::kWriter,
                  L"S-1-5-4"},
        // Read, execute, attributes and extended attributes change nothing that runs.
        JudgeCase{"ReadExecuteAttributes", L"O:SYD:(A;;0x1201b9;;;WD)", kFileChangeRights, std::nullopt, L""},
        // For a folder further up, a new entry changes nothing below it.
        JudgeCase{"AddFileAndFolderAbove", L"O:SYD:(A;;0x6;;;BU)", kAncestorFolderChangeRights, std::nullopt, L""},
        JudgeCase{"InheritOnly", L"O:BAD:(A;OICIIO;FA;;;BU)(A;;FA;;;BA)", kFileChangeRights, std::nullopt, L""},
        JudgeCase{"DenyDoesNotRescue", L"O:BAD:(D;;FA;;;BU)(A;;FA;;;BU)", kFileChangeRights,
                  Distrust::Reason::kWriter, L"S-1-5-32-545"},
        JudgeCase{"ObjectAllowAce", L"O:BAD:(OA;;CCDC;bf967a7f-0de6-11d0-a285-00aa003049e2;;AU)", kFileChangeRights,
                  Distrust::Reason::kWriter, L"S-1-5-11"},
        JudgeCase{"ConditionalAllowAce", L"O:BAD:(XA;;FA;;;WD;(@User.Project == \"x\"))", kFileChangeRights,
                  Distrust::Reason::kWriter, L"S-1-1-0"},
        JudgeCase{"AccountsBySid", L"O:S-1-5-32-544D:(A;;FA;;;S-1-5-18)(A;;FA;;;S-1-5-32-544)", kFileChangeRights,
                  std::nullopt, L""},
        JudgeCase{"TrustedInstallerWrites", kProgramFiles, kAncestorFolderChangeRights, std::nullopt, L""},
        JudgeCase{"DomainAliasWrites", L"O:BAD:(A;;FA;;;DA)", kFileChangeRights, Distrust::Reason::kWriter, L"DA"},
        JudgeCase{"UserOwner", std::wstring(L"O:") + kUser + L"D:(A;;FA;;;SY)", kFileChangeRights,
                  Distrust::Reason::kOwner, kUser},
        JudgeCase{"NoOwner", L"D:(A;;FA;;;SY)", kFileChangeRights, Distrust::Reason::kOwner, L""},
        JudgeCase{"NullDacl", L"O:BAD:NO_ACCESS_CONTROL", kFileChangeRights, Distrust::Reason::kNoDacl, L""},
        JudgeCase{"NoDacl", L"O:BA", kFileChangeRights, Distrust::Reason::kNoDacl, L""},
        JudgeCase{"EmptyDacl", L"O:BAD:P", kFileChangeRights, std::nullopt, L""},
        JudgeCase{"SaclSkipped", L"O:BAD:(A;;FA;;;SY)S:(ML;OINPIO;NW;;;HI)", kFileChangeRights, std::nullopt, L""},
        // Keys: KEY_SET_VALUE and KEY_CREATE_SUB_KEY are the same bits as
        // file write and append.
        JudgeCase{"KeyUsersRead", L"O:BAD:P(A;CI;KA;;;SY)(A;CI;KA;;;BA)(A;CI;KR;;;BU)", kKeyChangeRights,
                  std::nullopt, L""},
        JudgeCase{"KeyUsersWrite", L"O:BAD:(A;CI;KA;;;BA)(A;CIID;KW;;;BU)", kKeyChangeRights,
                  Distrust::Reason::kWriter, L"S-1-5-32-545"},
        JudgeCase{"KeyCreateSubkey", L"O:SYD:(A;;CC;;;BU)(A;;LC;;;BU)", kKeyChangeRights, Distrust::Reason::kWriter,
                  L"S-1-5-32-545"},
        // Text the judge cannot read is never trusted.
        JudgeCase{"UnknownRight", L"O:BAD:(A;;ZZ;;;BU)", kFileChangeRights, Distrust::Reason::kUnreadable, L""},
        JudgeCase{"UnknownAceType", L"O:BAD:(Q;;FA;;;BU)", kFileChangeRights, Distrust::Reason::kUnreadable, L""},
        JudgeCase{"AceCutShort", L"O:BAD:(A;;FA;;;BU", kFileChangeRights, Distrust::Reason::kUnreadable, L""},
        JudgeCase{"BadSid", L"O:S-1-5-D:(A;;FA;;;SY)", kFileChangeRights, Distrust::Reason::kUnreadable, L""},
        JudgeCase{"TwoOwners", L"O:BAO:SYD:", kFileChangeRights, Distrust::Reason::kUnreadable, L""},
        JudgeCase{"NotSddl", L"Administrators only", kFileChangeRights, Distrust::Reason::kUnreadable, L""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(AccountText, NamesWellKnownAccountsAndLeavesOthersAsSids) {
  EXPECT_EQ(L"Authenticated Users (S-1-5-11)", AccountText(L"S-1-5-11"));
  EXPECT_EQ(std::wstring(L"TrustedInstaller (") + kTrustedInstaller + L")", AccountText(kTrustedInstaller));
  EXPECT_EQ(kUser, AccountText(kUser));
}

}  // namespace
