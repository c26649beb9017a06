#include "base/zorvid_request_info.h"
#include "front/decrypt_argument.h"
#include "front/front_env.h"
#include "front/iframe.h"
#include "front/launch_daemon_core.h"

namespace {

class HandleRequestTest : public FrontEnv {
  protected:
    std::string Request(const std::string& path, const std::string& body = {},
                        const std::string& verb = "POST", bool https = true) {
        return LaunchDaemonCore::HandleRequest(path, "q=1", body, verb, https, functions_);
    }

    // Call posts a "function" request whose argument is taken as plain text.
    std::string Call(const std::string& argument) {
        Config::Activate(ConfigId::NO_NEED_SEC);
        return Request("function", "version=2.6&zorvidId=page&arg=" + argument);
    }

    // Normal is the library's compact text of a JSON text, for comparisons.
    static std::string Normal(const std::string& text) {
        JSON::JSONDocument document;
        EXPECT_EQ(document.Parse(text), 0) << text;
        return document.Root() != nullptr ? document.Root()->Print() : std::string();
    }

    // The dispatch table of the requests: the daemon's rows plus those a test adds.
    LaunchDaemonCore::FunctionTable functions_ = LaunchDaemonCore::MainFunctions();
};

struct Refusal {
    const char* path;
    const char* verb;
    bool https;
    std::int32_t code;
    const char* commentary;
};

TEST_F(HandleRequestTest, TransportRulesComeBeforeEverythingButTheFrame) {
    const Refusal rows[] = {
        {"", "POST", true, 93,
         "Empty Url's path section, cannot determine the main fucntion to use"},
        {"iframe", "POST", true, 105, "Invalid Http verb used!"},
        {"getVersion", "GET", false, 12, "Invalid protocol ! ( HTTPS is required )"},
        {"getVersion", "POST", false, 12, "Invalid protocol ! ( HTTPS is required )"},
        {"getVersion", "GET", true, 105, "Invalid HTTP verb ! ( POST required instead of : GET )"},
        {"isDaemonBusy", "post", true, 105,
         "Invalid HTTP verb ! ( POST required instead of : post )"},
        {"function", "GET", false, 12, "Invalid protocol ! ( HTTPS is required )"},
    };
    for (const Refusal& row : rows) {
        Answer answer(Request(row.path, "version=2.6&zorvidId=a", row.verb, row.https));
        ASSERT_TRUE(answer.ok) << row.path;
        EXPECT_EQ(answer.Code(), row.code) << row.path << " " << row.verb;
        EXPECT_EQ(answer.CommentaryText(), row.commentary) << row.path << " " << row.verb;
    }
    EXPECT_TRUE(
        Logged("{DEBUG}:[LaunchDaemonCore::HandleRequest] {urlPath}: getVersion//"
               "{reqVerb}: GET//{optionString}: q=1//{reqBody}: version=2.6&zorvidId=a\n"));
}

TEST_F(HandleRequestTest, PageIsServedOnPlainGet) {
    const std::string page = Request("iframe", {}, "GET", false);
    EXPECT_EQ(page, ToolBox::GetIframe());
    EXPECT_NE(page.find("Communication Frame"), std::string::npos);
}

TEST_F(HandleRequestTest, TestHarnessModeSkipsTransportRules) {
    Config::Activate(ConfigId::KTV_MODE);
    EXPECT_EQ(Answer(Request("getVersion", {}, "GET", false)).Code(), 0);
    EXPECT_EQ(Answer(Request("isDaemonBusy", {}, "GET", true)).Code(), 0);
}

TEST_F(HandleRequestTest, BusyOnlyDuringInstallationOrSelfUpdate) {
    const std::pair<const char*, bool> rows[] = {
        {nullptr, false},       {"UNINSTALL_LOCK_ID", false}, {"some-install-id", false},
        {"INSTALL_LOCK", true}, {"SELF_UPDATE_LOCK", true},
    };
    for (const auto& [lock, busy] : rows) {
        FunctionnalCore::ResetForTests();
        if (lock != nullptr) {
            FunctionnalCore::Lock(lock);
        }
        Answer answer(Request("isDaemonBusy"));
        ASSERT_TRUE(answer.ok);
        EXPECT_EQ(answer.Code(), 0);
        EXPECT_EQ(answer.CommentaryText(), "Success");
        EXPECT_EQ(answer.ContentText(), busy ? "true" : "false") << (lock ? lock : "none");
    }
}

TEST_F(HandleRequestTest, VersionAnswerFollowsTheOverrides) {
    EXPECT_EQ(Answer(Request("getVersion")).ContentText(),
              Normal(R"({"daemon":"2.6","build":"7.3","msi":null})"));

    Config::SetVariableForTests(ConfigId::FORCE_VERSION_EXT, "3.0");
    Config::SetVariableForTests(ConfigId::FORCE_VERSION_INT, "abc");
    Config::SetVariableForTests(ConfigId::FORCE_VERSION_MSI, "7.3.12");
    EXPECT_EQ(Answer(Request("getVersion")).ContentText(),
              Normal(R"({"daemon":"3.0","build":"7.3","msi":"7.3.12"})"));
}

TEST_F(HandleRequestTest, BodyParsingRules) {
    const std::pair<const char*, const char*> rows[] = {
        {"version=2.6&zorvidId=a&zorvidId=b", "b"}, {"version=2.6&flag&zorvidId=a", "a"},
        {"version=2.6&&zorvidId=a&", "a"},          {"version=2.6&zorvidId=a%41", "aA"},
        {"version=2.6&zorvidId=a+b", "a+b"},        {"version=2.6&zorvidId=a%4", "a\\x04"},
        {"version=2.6&zorvidId=k=v%3D", "k=v="},
    };
    for (const auto& [body, zorvidId] : rows) {
        Answer answer(Request("other", body));
        EXPECT_EQ(answer.Code(), 90) << body;
        EXPECT_EQ(answer.CommentaryText(), "Unknown main function name : other");
        EXPECT_TRUE(
            Logged("{INFO }:[LaunchDaemonCore::HandleRequest] request info : "
                   "ZorvidRequestInfo[zorvidId='" +
                   std::string(zorvidId) + "',"))
            << body;
    }
    // Keys are not decoded.
    EXPECT_EQ(Answer(Request("other", "version=2.6&zorvid%49d=a")).Code(), 110);
}

TEST_F(HandleRequestTest, IdentityAndLevelRefusalsInTheirOrder) {
    const std::tuple<const char*, const char*, std::int32_t, const char*> rows[] = {
        {"function", "", 91, "No required Daemon's protocol version not set"},
        {"function", "zorvidId=a", 91, "No required Daemon's protocol version not set"},
        {"function", "version=2.6", 110, "No zorvid ID has been given!"},
        {"other", "version=x&zorvidId=a", 103, "Cannot parse the given Daemon level : x"},
        {"function", "version=3&zorvidId=a", 103, "Cannot parse the given Daemon level : 3"},
        {"function", "version=2.7&zorvidId=a", 103,
         "Required daemon level is above the current daemon level : 2.6"},
        {"function", "version=0.0&zorvidId=a", 103,
         "Required daemon level is lower than compatibility daemon level : 0.1"},
        {"Function", "version=0.1&zorvidId=a", 90, "Unknown main function name : Function"},
        {"function", "version=2.6&zorvidId=a", 92, "no argument string given !"},
        {"function", "version=2.6&zorvidId=a&arg=x", 102,
         "decryption of the URL's argument encrypted string FAIL !"},
    };
    for (const auto& [path, body, code, commentary] : rows) {
        Answer answer(Request(path, body));
        ASSERT_TRUE(answer.ok) << body;
        EXPECT_EQ(answer.Code(), code) << body;
        EXPECT_EQ(answer.CommentaryText(), commentary) << body;
        EXPECT_TRUE(answer.Content()->IsNull()) << body;
    }
    EXPECT_TRUE(
        Logged("[Operations::DecryptArgument]No CASTGC or security server specified ! "
               "aborting decryption.\n"));
}

TEST_F(HandleRequestTest, LevelBoundsFollowTheCurrentLevelOverride) {
    Config::SetVariableForTests(ConfigId::FORCE_VERSION_EXT, "3.0");
    EXPECT_EQ(Answer(Request("other", "version=3.0&zorvidId=a")).Code(), 90);
    EXPECT_EQ(Answer(Request("other", "version=3.1&zorvidId=a")).CommentaryText(),
              "Required daemon level is above the current daemon level : 3.0");
}

// An unknown service address needs the user's answer; with no worker to ask, it fails.
TEST_F(HandleRequestTest, DecryptionFailsWithoutAWorkerToAsk) {
    Config::Activate(ConfigId::NO_NEED_SEC);
    Answer answer(Request("function",
                          "version=2.6&zorvidId=a&castgc=t&cryptws=https://d/ws#f"
                          "&arg=enc"));
    EXPECT_EQ(answer.Code(), 102);
    EXPECT_TRUE(
        Logged("{ERROR}:[Operations::DecryptArgument]Validation Gui fail ! return code : 2\n"));
}

TEST_F(HandleRequestTest, PlainArgumentRefusals) {
    const std::tuple<const char*, std::int32_t, std::string> rows[] = {
        {"[1,2]", 95, "fail to parse this JSON string as a JSON Object : [[1,2]]"},
        {"{", 95, "fail to parse this JSON string as a JSON Object : [{]"},
        {R"({"functionName":5,"params":{}})", 96,
         R"(fail to parse this JSON string as a JSON Value (invalid type in this fields )"
         R"([functionName] ): [{"functionName":5,"params":{}}])"},
        {R"({"functionName":"uninstall"})", 96,
         R"(fail to parse this JSON string as a JSON Object (invalid type in this fields )"
         R"([params] ): [{"functionName":"uninstall"}])"},
        {R"({"functionName":"uninstall","params":[]})", 96,
         R"(fail to parse this JSON string as a JSON Object (invalid type in this fields )"
         R"([params] ): [{"functionName":"uninstall","params":[]}])"},
        {R"({"functionName":"foo","params":{}})", 97, "Unsupported function Name : 'foo'"},
        // A percent-encoded argument is decoded before its function is looked up.
        {"%7B%22functionName%22:%22noSuchFunction%22,%22params%22:%7B%7D%7D", 97,
         "Unsupported function Name : 'noSuchFunction'"},
    };
    for (const auto& [argument, code, commentary] : rows) {
        Answer answer(Call(argument));
        ASSERT_TRUE(answer.ok) << argument;
        EXPECT_EQ(answer.Code(), code) << argument;
        EXPECT_EQ(answer.CommentaryText(), commentary) << argument;
    }
}

TEST_F(HandleRequestTest, NeedsExactlyOneActiveSession) {
    const std::string argument = R"({"functionName":"foo","params":{}})";
    SetSessions({{1, 1}, {2, 4}});
    EXPECT_EQ(Answer(Call(argument)).Code(), 106);
    SetSessions({{1, 0}, {2, 0}});
    Answer answer(Call(argument));
    EXPECT_EQ(answer.Code(), 106);
    EXPECT_EQ(answer.CommentaryText(),
              "There is no session active or more than one are active at the same time.");
    SetSessions({{1, 1}, {2, 0}});
    EXPECT_EQ(Answer(Call(argument)).Code(), 97);
}

struct Seen {
    std::string zorvidId;
    std::string params;
};

LaunchDaemonCore::MainFunctionEntry Recorder(Seen& seen, std::int32_t rc,
                                             LaunchDaemonCore::ParamsRule rule,
                                             bool answersWithResult = false) {
    return {rule, answersWithResult,
            [&seen, rc](const ZorvidRequestInfo& request, const JSON::JSONItem& params,
                        JSON::JSONDocument& result) {
                seen = {request.GetZorvidId(), params.Print()};
                JSON::ItemPtr found = JSON::CreateArray();
                found->AsArray()->Add(JSON::CreateString("install"));
                result.SetRoot(std::move(found));
                return rc;
            }};
}

TEST_F(HandleRequestTest, MainFunctionAnswers) {
    using Rule = LaunchDaemonCore::ParamsRule;
    Seen seen;
    const std::string argument = R"({"functionName":"run","params":{"a":1},"extra":true})";

    functions_["run"] = Recorder(seen, 0, Rule::AsReceived);
    Answer success(Call(argument));
    EXPECT_EQ(success.Code(), 0);
    EXPECT_EQ(success.CommentaryText(), "Success");
    EXPECT_TRUE(success.Content()->IsNull());
    EXPECT_EQ(seen.zorvidId, "page");
    EXPECT_EQ(seen.params, Normal(R"({"a":1})"));

    // A failure gives the whole argument back, with the table's commentary.
    functions_["run"] = Recorder(seen, 158, Rule::AsReceived);
    Answer failure(Call(argument));
    EXPECT_EQ(failure.Code(), 158);
    EXPECT_EQ(failure.CommentaryText(), "Installation failed!");
    EXPECT_EQ(failure.ContentText(), Normal(argument));

    functions_["run"] = Recorder(seen, 0, Rule::AsReceived, true);
    EXPECT_EQ(Answer(Call(argument)).ContentText(), Normal(R"(["install"])"));
    functions_["run"] = Recorder(seen, 25, Rule::AsReceived, true);
    EXPECT_EQ(Answer(Call(argument)).ContentText(), Normal(argument));
}

TEST_F(HandleRequestTest, ShortcutFlagIsSetOnACopyOfTheParameters) {
    using Rule = LaunchDaemonCore::ParamsRule;
    Seen seen;
    const std::string argument =
        R"({"functionName":"run","params":{"createShortcut":false,"b":2}})";

    functions_["run"] = Recorder(seen, 158, Rule::WithCreateShortcut);
    Answer answer(Call(argument));
    JSON::JSONDocument params;
    ASSERT_EQ(params.Parse(seen.params), 0);
    EXPECT_TRUE(params.Root()->Get("createShortcut")->GetBool());
    EXPECT_EQ(params.Root()->Get("b")->GetInt(), 2);
    // The answer shows the parameters as the page sent them.
    EXPECT_EQ(answer.ContentText(), Normal(argument));

    functions_["run"] = Recorder(seen, 0, Rule::WithoutCreateShortcut);
    Call(R"({"functionName":"run","params":{}})");
    EXPECT_EQ(seen.params, Normal(R"({"createShortcut":false})"));
}

class DecryptArgumentTest : public FrontEnv {};

TEST_F(DecryptArgumentTest, RawArgumentOnlyWhenSecurityIsWaived) {
    const ZorvidRequestInfo noTicket("id", "", "https://d/ws", "", "", "2.6");
    std::string plain = "stale";
    EXPECT_FALSE(Operations::DecryptArgument(noTicket, "raw", plain));
    EXPECT_EQ(plain, "");

    Config::Activate(ConfigId::NO_NEED_SEC);
    EXPECT_TRUE(Operations::DecryptArgument(noTicket, "raw", plain));
    EXPECT_EQ(plain, "raw");
    EXPECT_TRUE(
        Logged("{DEBUG}:[Operations::DecryptArgument]No CASTGC or security server "
               "specified ! aborting decryption and use the raw argument : raw"));

    // An identity the service made itself is never initialised.
    EXPECT_TRUE(Operations::DecryptArgument(ZorvidRequestInfo("id"), "raw2", plain));
    EXPECT_EQ(plain, "raw2");
}

}  // namespace
