#include "base/daemon_version.h"

#include "base/zorvid_request_info.h"
#include "front/front_env.h"

namespace {

class DaemonVersionTest : public FrontEnv {};

struct ParseRow {
    const char* text;
    bool ok;
    std::int32_t major;
    std::int32_t minor;
};

TEST_F(DaemonVersionTest, ParseTable) {
    const ParseRow rows[] = {
        {"2.6", true, 2, 6},
        {"2.6.", true, 2, 6},
        {"3", true, 3, -1},
        {"3.", true, 3, -1},
        {" 2.6", true, 2, 6},
        {"2. 6", true, 2, 6},
        {"+2.6", true, 2, 6},
        {"2.-0", true, 2, 0},
        {"0.0", true, 0, 0},
        {"2147483647.0", true, 2147483647, 0},
        {"2..6", false, 0, 0},
        {"1.2.3", false, 0, 0},
        {"2.6b", false, 0, 0},
        {"2.6 ", false, 0, 0},
        {".6", false, 0, 0},
        {"-1.0", false, 0, 0},
        {"", false, 0, 0},
        {".", false, 0, 0},
        {"-", false, 0, 0},
        {"+-1.0", false, 0, 0},
        {"2147483648.0", false, 0, 0},
        {"99999999999999999999.0", false, 0, 0},
    };
    for (const ParseRow& row : rows) {
        DaemonVersion version(42, 43);
        EXPECT_EQ(DaemonVersion::Parse(row.text, version), row.ok) << row.text;
        if (row.ok) {
            EXPECT_EQ(version.major, row.major) << row.text;
            EXPECT_EQ(version.minor, row.minor) << row.text;
        } else {
            EXPECT_EQ(version.major, 42) << row.text;
            EXPECT_EQ(version.minor, 43) << row.text;
        }
    }
}

TEST_F(DaemonVersionTest, ParseFailuresAreLoggedAtTheirLevels) {
    DaemonVersion version;
    DaemonVersion::Parse("1.2.3", version);
    DaemonVersion::Parse("2.6b", version);
    DaemonVersion::Parse("-1.0", version);
    DaemonVersion::Parse("", version);
    EXPECT_TRUE(
        Logged("{INTERNAL}:[DaemonVersion::Parse]Fail to parse version string [1.2.3] ! "
               "Too much fields. ( maximum fields count : 2)"));
    EXPECT_TRUE(
        Logged("{WARN }:[DaemonVersion::Parse]Fail to convert [Minor] index string to "
               "num : [6b]"));
    EXPECT_TRUE(
        Logged("{INTERNAL}:[DaemonVersion::Parse]The parsed [Major] index is invalid "
               "(all indexes must be positive): -1"));
    EXPECT_TRUE(Logged("{INTERNAL}:[DaemonVersion::Parse]Cannot parse empty string !"));
}

TEST_F(DaemonVersionTest, PrintsOnlyCompleteLevels) {
    EXPECT_EQ(DaemonVersion(2, 6).ToString(), "2.6");
    EXPECT_EQ(DaemonVersion(0, 0).ToString(), "0.0");
    EXPECT_EQ(DaemonVersion(3, -1).ToString(), "N/A");
    EXPECT_EQ(DaemonVersion(-1, 5).ToString(), "N/A");
}

TEST_F(DaemonVersionTest, CompareAndOrder) {
    const DaemonVersion level(2, 6);
    EXPECT_EQ(level.Compare(2, 6), 0);
    EXPECT_EQ(level.Compare(1, 9), 1);
    EXPECT_EQ(level.Compare(3, 0), -1);
    EXPECT_EQ(level.Compare(2, 5), 2);
    EXPECT_EQ(level.Compare(2, 7), -2);
    EXPECT_EQ(DaemonVersion(3, -1).Compare(3, 0), -2);

    EXPECT_TRUE(level > DaemonVersion(2, 5));
    EXPECT_TRUE(DaemonVersion(1, 9) < DaemonVersion(2, 0));
    EXPECT_FALSE(level > DaemonVersion(2, 6));
    EXPECT_FALSE(level < DaemonVersion(2, 6));
}

TEST_F(DaemonVersionTest, FixedLevelsFollowTheirOverridesAtEachCall) {
    EXPECT_EQ(DaemonVersion::GetCurrentDaemonLevel().ToString(), "2.6");
    EXPECT_EQ(DaemonVersion::GetBuildLevel().ToString(), "7.3");
    EXPECT_EQ(DaemonVersion::GetCompatibilityLevel().ToString(), "0.1");

    Config::SetVariableForTests(ConfigId::FORCE_VERSION_EXT, "3.0");
    Config::SetVariableForTests(ConfigId::FORCE_VERSION_INT, "8.1");
    EXPECT_EQ(DaemonVersion::GetCurrentDaemonLevel().ToString(), "3.0");
    EXPECT_EQ(DaemonVersion::GetBuildLevel().ToString(), "8.1");

    // A bare major replaces the whole level, minor unset included.
    Config::SetVariableForTests(ConfigId::FORCE_VERSION_EXT, "4");
    EXPECT_EQ(DaemonVersion::GetCurrentDaemonLevel().major, 4);
    EXPECT_EQ(DaemonVersion::GetCurrentDaemonLevel().minor, -1);

    Config::SetVariableForTests(ConfigId::FORCE_VERSION_EXT, "abc");
    EXPECT_EQ(DaemonVersion::GetCurrentDaemonLevel().ToString(), "2.6");
}

class ZorvidRequestInfoTest : public FrontEnv {};

TEST_F(ZorvidRequestInfoTest, DropsTheFragmentAndPrintsNoTicketAndNoLineBreak) {
    const ZorvidRequestInfo info("id\nforged", "TGT-0123456789abcdef", "https://h/ws?x=1#frag#more",
                                 "auth", "https://page", "2.6");
    EXPECT_TRUE(info.IsInitialised());
    EXPECT_EQ(info.GetEncryptionWsUrl(), "https://h/ws?x=1");
    EXPECT_EQ(info.ToString(),
              "ZorvidRequestInfo[zorvidId='id\\nforged',casTgc='TGT-...(20 chars)',"
              "encryptionWsUrl='https://h/ws?x=1',authWsUrl='auth',zorvidUrl='https://page',"
              "protocolVersion='2.6']");
    EXPECT_TRUE(
        Logged("{INTERNAL}:[ZorvidRequestInfo::Init] init request info : " + info.ToString()));
}

TEST_F(ZorvidRequestInfoTest, ConfiguredAuthenticationUrlReplacesTheRequestOne) {
    EXPECT_EQ(ZorvidRequestInfo("id", "", "", "given", "", "2.6").GetAuthWsUrl(), "given");
    Config::SetVariableForTests(ConfigId::AUTH_WS_URL, "https://auth/ws");
    EXPECT_EQ(ZorvidRequestInfo("id", "", "", "given", "", "2.6").GetAuthWsUrl(),
              "https://auth/ws");
    EXPECT_TRUE(
        Logged("[ZorvidRequestInfo::Init] set authentication Url to [https://auth/ws] "
               "from Config setup."));
}

TEST_F(ZorvidRequestInfoTest, JsonFormNullsOnlyIdAndLevel) {
    const ZorvidRequestInfo info("", "", "", "", "", "2.6");
    const JSON::ItemPtr json = info.ToJSON();
    std::vector<std::string> members;
    for (const auto& member : json->AsObject()->Members()) {
        members.push_back(member->first + "=" + member->second->Print());
    }
    EXPECT_EQ(members,
              (std::vector<std::string>{"cId=null", "cCas=\"\"", "cEncryptWsUrl=\"\"",
                                        "cAuthWsUrl=\"\"", "cZorvidUrl=\"\"", "pVersion=\"2.6\""}));
}

TEST_F(ZorvidRequestInfoTest, LevelThatDoesNotParseStaysUnset) {
    const ZorvidRequestInfo info("id", "", "", "", "", "x");
    EXPECT_EQ(info.GetProtocolVersion().major, -1);
    EXPECT_EQ(info.GetProtocolVersion().minor, -1);
    EXPECT_EQ(info.ToJSON()->Get("pVersion")->GetString(), "N/A");
    EXPECT_TRUE(Logged(
        "{WARN }:[ZorvidRequestInfo::ZorvidRequestInfo] invalud DaemonVersion string given : x"));

    const ZorvidRequestInfo own("page");
    EXPECT_FALSE(own.IsInitialised());
    EXPECT_EQ(own.GetProtocolVersion().ToString(), "N/A");
}

}  // namespace
