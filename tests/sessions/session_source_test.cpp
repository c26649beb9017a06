// The session file source of the sessions port, and the session queries on top of it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/logger.h"
#include "platform/sessions.h"
#include "session/session_query.h"
#include "support/test_support.h"

namespace {

// SessionFileTest points the sessions port at a file of its own.
class SessionFileTest : public ::testing::Test {
  protected:
    void Write(const std::string& json) { ASSERT_TRUE(vl_test::WriteFile(path_, json)); }

    vl_test::TempDir dir_;
    std::string path_ = dir_.Path("sessions.json");
    vl_test::ScopedEnv env_{"QVYLD_SESSION_FILE", path_};
};

TEST_F(SessionFileTest, ReadsEveryRecord) {
    Write(R"([{"id": 0, "user": null, "state": 4, "station": "Services"},
              {"id": 7, "user": "alice", "state": 0, "station": "seat0", "display": ":0"},
              {"id": 9, "user": "bob", "state": 4}])");
    std::vector<platform::SessionRecord> sessions;
    std::uint32_t error = 99;
    ASSERT_TRUE(platform::EnumerateSessions(sessions, error));
    ASSERT_EQ(sessions.size(), 3u);
    EXPECT_EQ(sessions[0].user, "");
    EXPECT_EQ(sessions[1].id, 7u);
    EXPECT_EQ(sessions[1].user, "alice");
    EXPECT_EQ(sessions[1].state, 0u);
    EXPECT_EQ(sessions[1].station, "seat0");
    EXPECT_TRUE(sessions[1].hasStation);
    EXPECT_EQ(sessions[1].display, ":0");
    EXPECT_FALSE(sessions[2].hasStation);
}

struct BadFileCase {
    const char* name;
    const char* json;  // nullptr: no file at all
    std::uint32_t error;
};

class SessionFileFailureTest : public SessionFileTest,
                               public ::testing::WithParamInterface<BadFileCase> {};

TEST_P(SessionFileFailureTest, FailsWithoutFallingBack) {
    if (GetParam().json != nullptr) {
        Write(GetParam().json);
    }
    std::vector<platform::SessionRecord> sessions(1);
    std::uint32_t error = 0;
    EXPECT_FALSE(platform::EnumerateSessions(sessions, error));
    EXPECT_EQ(error, GetParam().error);
    EXPECT_TRUE(sessions.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Table, SessionFileFailureTest,
    ::testing::Values(BadFileCase{"Missing", nullptr, 2}, BadFileCase{"NotJson", "[{", 13},
                      BadFileCase{"NotAnArray", R"({"id": 1})", 13},
                      BadFileCase{"NoId", R"([{"user": "a", "state": 0}])", 13},
                      BadFileCase{"NegativeState", R"([{"id": 1, "state": -1}])", 13},
                      BadFileCase{"FractionalId", R"([{"id": 1.5, "state": 0}])", 13},
                      BadFileCase{"UserNotText", R"([{"id": 1, "user": 3, "state": 0}])", 13},
                      BadFileCase{"OneBadAmongGood",
                                  R"([{"id": 1, "state": 0}, {"id": "2", "state": 0}])", 13}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SessionFileTest, AnswersTheKnownInformationClasses) {
    Write(R"([{"id": 7, "user": "alice", "state": 0, "station": "seat0"}])");
    std::string value;
    const std::vector<std::pair<int, std::string>> known = {
        {4, "7"}, {5, "alice"}, {6, "seat0"}, {8, "0"}};
    for (const auto& [infoClass, expected] : known) {
        ASSERT_TRUE(platform::QuerySessionInfo(7, infoClass, value)) << infoClass;
        EXPECT_EQ(value, expected) << infoClass;
    }
    EXPECT_FALSE(platform::QuerySessionInfo(7, 0, value));
    EXPECT_FALSE(platform::QuerySessionInfo(7, 17, value));
    EXPECT_FALSE(platform::QuerySessionInfo(8, 5, value));
    EXPECT_FALSE(platform::QuerySessionInfo(ToolBox::kCurrentSessionId, 5, value));
}

// SessionQueryTest runs the queries with the logger writing every level to a file.
class SessionQueryTest : public SessionFileTest {
  protected:
    void SetUp() override {
        ASSERT_TRUE(vl_test::WriteFile(dir_.Path("levels.conf"), "LOGLEVEL=internal\n"));
        ASSERT_TRUE(vl_test::InitInfrastructure(dir_));
        logStart_ = vl_test::ReadFile(Logger::CurrentFilePath()).size();
    }
    void TearDown() override { vl_test::ResetInfrastructure(); }

    // NewLog is what was logged since the test started.
    std::string NewLog() const {
        return vl_test::ReadFile(Logger::CurrentFilePath()).substr(logStart_);
    }
    std::size_t Count(const std::string& needle) const {
        const std::string log = NewLog();
        std::size_t count = 0;
        for (std::size_t at = log.find(needle); at != std::string::npos;
             at = log.find(needle, at + 1)) {
            ++count;
        }
        return count;
    }

    vl_test::ScopedEnv conf_{"KtvConfPath", dir_.Path("levels.conf")};
    std::size_t logStart_ = 0;
};

struct ActiveCase {
    const char* name;
    const char* json;
    bool found;
    std::uint32_t id;
    const char* line;
};

class ActiveSessionTest : public SessionQueryTest,
                          public ::testing::WithParamInterface<ActiveCase> {};

TEST_P(ActiveSessionTest, FindsOnlyASingleActiveSession) {
    Write(GetParam().json);
    std::uint32_t id = 12345;
    EXPECT_EQ(ToolBox::GetActiveSessionId(id), GetParam().found);
    EXPECT_EQ(id, GetParam().found ? GetParam().id : 12345u);
    EXPECT_EQ(Count(GetParam().line), 1u) << NewLog();
}

INSTANTIATE_TEST_SUITE_P(
    Table, ActiveSessionTest,
    ::testing::Values(
        ActiveCase{"ConsoleAmongOthers",
                   R"([{"id": 0, "state": 4, "station": "Services"},
                       {"id": 1, "user": "alice", "state": 0, "station": "Console"},
                       {"id": 2, "user": "bob", "state": 4},
                       {"id": 65536, "state": 6, "station": "RDP-Tcp"}])",
                   true, 1,
                   "[ToolBox::GetActiveSessionId] successefully found a unique active session "
                   "on [id:1//sessionName:Console] !"},
        ActiveCase{"NobodyLoggedOn", R"([{"id": 0, "state": 4}, {"id": 65536, "state": 6}])", false,
                   0, "[ToolBox::GetActiveSessionId] No active session found !"},
        ActiveCase{"Empty", "[]", false, 0,
                   "[ToolBox::GetActiveSessionId] No active session found !"},
        ActiveCase{"TwoActive",
                   R"([{"id": 1, "user": "a", "state": 0}, {"id": 3, "user": "b", "state": 0}])",
                   false, 0,
                   "[ToolBox::GetActiveSessionId] multiple active seesion found ! unsupported "
                   "execution context."},
        ActiveCase{"Malformed", "[", false, 0,
                   "[ToolBox::GetActiveSessionId] Fail to iterate on Session objects!"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SessionQueryTest, LogsEverySessionItEnumerates) {
    Write(R"([{"id": 0, "state": 4}, {"id": 1, "user": "alice", "state": 0, "station": "C"}])");
    std::uint32_t id = 0;
    ASSERT_TRUE(ToolBox::GetActiveSessionId(id));
    EXPECT_EQ(Count("[ToolBox::GetActiveSessionId] session object total count : 2"), 1u);
    EXPECT_EQ(Count("[ToolBox::GetActiveSessionId] session object : [id:0//name:NULL//status:4]"),
              1u);
    EXPECT_EQ(Count("[ToolBox::GetActiveSessionId] session object : [id:1//name:C//status:0]"), 1u);
}

TEST_F(SessionQueryTest, SeesAUserSwitchBetweenTwoCalls) {
    Write(R"([{"id": 1, "user": "alice", "state": 0}, {"id": 2, "user": "bob", "state": 4}])");
    std::string user;
    ASSERT_TRUE(ToolBox::GetUserNameFromActiveSession(user));
    EXPECT_EQ(user, "alice");
    Write(R"([{"id": 1, "user": "alice", "state": 4}, {"id": 2, "user": "bob", "state": 0}])");
    ASSERT_TRUE(ToolBox::GetUserNameFromActiveSession(user));
    EXPECT_EQ(user, "bob");
}

TEST_F(SessionQueryTest, UserNameOfASession) {
    Write(R"([{"id": 1, "user": "alice", "state": 0}, {"id": 2, "user": "", "state": 0}])");
    std::string user = "before";
    ASSERT_TRUE(ToolBox::GetUserNameFromSessionId(user, 1));
    EXPECT_EQ(user, "alice");
    EXPECT_EQ(Count("[ToolBox::GetUserNameFromSessionId] retrieved the user name for session "
                    "id [1] : alice"),
              1u);
    // Nobody logged on: true and an empty name.
    ASSERT_TRUE(ToolBox::GetUserNameFromSessionId(user, 2));
    EXPECT_EQ(user, "");
    // A failure leaves the text alone and names the current session by its word.
    user = "kept";
    EXPECT_FALSE(ToolBox::GetUserNameFromSessionId(user, 3));
    EXPECT_FALSE(ToolBox::GetUserNameFromSessionId(user, ToolBox::kCurrentSessionId));
    EXPECT_EQ(user, "kept");
    EXPECT_EQ(Count("fail to retrieve the user name for session id : 3"), 1u);
    EXPECT_EQ(Count("[ToolBox::GetUserNameFromSessionId] fail to retrieve the user name for "
                    "session id : CURRENT"),
              1u);
}

TEST_F(SessionQueryTest, UserNameOfTheActiveSessionNeedsExactlyOne) {
    Write(R"([{"id": 1, "user": "a", "state": 0}, {"id": 2, "user": "b", "state": 0}])");
    std::string user = "kept";
    EXPECT_FALSE(ToolBox::GetUserNameFromActiveSession(user));
    EXPECT_EQ(user, "kept");
    EXPECT_EQ(Count("[ToolBox::GetUserNameFromActiveSession] no active session found !"), 1u);
}

TEST_F(SessionQueryTest, DumpsSeventeenClassesOneLineEach) {
    Write(R"([{"id": 7, "user": "alice", "state": 0, "station": "seat0"}])");
    for (int infoClass = 0; infoClass < kSessionInfoClassCount; ++infoClass) {
        WTSGetString(7, infoClass, SessionInfoClassLabel(infoClass));
    }
    EXPECT_EQ(Count("[WTSGetString]{"), 17u);
    EXPECT_EQ(Count("[WTSGetString]{session 7||WTSUserName}returned : 'alice'"), 1u);
    EXPECT_EQ(Count("[WTSGetString]{session 7||WTSConnectState}returned : '0'"), 1u);
    EXPECT_EQ(Count("[WTSGetString]{7||WTSInitialProgram} FAIL !"), 1u);
    EXPECT_EQ(Count("[WTSGetString]{7||WTSClientProtocolType} FAIL !"), 1u);
    EXPECT_STREQ(SessionInfoClassLabel(16), "WTSClientProtocolType");
    EXPECT_STREQ(SessionInfoClassLabel(17), "");
}

}  // namespace

namespace {

// Without a session file the platform's own source answers, whatever it finds here, and
// every session it lists can be found again by its id.
TEST(NativeSessionsTest, EnumeratesWithoutASessionFile) {
    vl_test::ScopedEnv none("QVYLD_SESSION_FILE", std::nullopt);
    std::vector<platform::SessionRecord> sessions;
    std::uint32_t error = 0;
    ASSERT_TRUE(platform::EnumerateSessions(sessions, error)) << error;
    for (const platform::SessionRecord& session : sessions) {
        platform::SessionRecord found;
        ASSERT_TRUE(platform::FindSession(session.id, found)) << session.id;
        EXPECT_EQ(found.user, session.user);
    }
}

}  // namespace
