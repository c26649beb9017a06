#include "base/return_code.h"

#include "front/front_env.h"

namespace {

class ReturnCodeTest : public FrontEnv {};

std::string Build(std::int32_t code, const std::string& commentary = {},
                  JSON::ItemPtr content = nullptr) {
    std::string out;
    const std::string returned =
        ReturnCode::BuildJSONReponseObject(out, code, std::move(content), commentary);
    EXPECT_EQ(returned, out);
    return out;
}

TEST_F(ReturnCodeTest, SuccessAnswerHasTheTableTextAndNullContent) {
    const std::string text = Build(0);
    EXPECT_EQ(text, R"({"returnCode": 0, "commentary": "Success", "content": null})");
    EXPECT_TRUE(Logged("{DEBUG}:[ReturnCode::BuildJSONReponseObject]JSON Object built : " + text));
}

TEST_F(ReturnCodeTest, GivenCommentaryWinsOverTheTable) {
    Answer answer(Build(105, "x"));
    ASSERT_TRUE(answer.ok);
    EXPECT_EQ(answer.Code(), 105);
    EXPECT_EQ(answer.CommentaryText(), "x");
}

TEST_F(ReturnCodeTest, CodeWithoutRowGivesNullCommentaryAndLogsTheCode) {
    for (const std::int32_t code : {12, 1, -7}) {
        Answer answer(Build(code));
        ASSERT_TRUE(answer.ok);
        EXPECT_EQ(answer.Code(), code);
        EXPECT_TRUE(answer.Commentary()->IsNull()) << code;
        EXPECT_TRUE(Logged("{DEBUG}:[ReturnCode::GetReason]this retrun code label unknown: " +
                           std::to_string(code) + "\n"))
            << code;
    }
    std::string reason = "kept";
    EXPECT_FALSE(ReturnCode::GetReason(12, reason));
    EXPECT_EQ(reason, "kept");
}

TEST_F(ReturnCodeTest, TableHoldsItsRowsWithTheirExactTexts) {
    // Every listed code but 12, which always comes with its own commentary.
    EXPECT_EQ(ReturnCode::RowCount(), 77u);
    const std::pair<std::int32_t, const char*> rows[] = {
        {8, "the Systray handler thread "},
        {93, "Empty Url's path section, cannot determine the main fucntion to use"},
        {106, "There is no session active or more than one are active at the same time."},
        {127, "VRKSTART execution failed!"},
        {130, "VRKSTART execution failed!"},
        {141,
         "the configured VRKenv file is invalid! It does not exist or it is not accessible (ie "
         "it may be caused by the current permission setup on this file for the current user )."},
        {226, "The uninstall batch file does not exist"},
    };
    for (const auto& [code, text] : rows) {
        std::string reason;
        EXPECT_TRUE(ReturnCode::GetReason(code, reason)) << code;
        EXPECT_EQ(reason, text) << code;
    }
}

TEST_F(ReturnCodeTest, DuplicatedRowKeepsTheFirstText) {
    ReturnCode::putRc(0, "changed");
    std::string reason;
    ASSERT_TRUE(ReturnCode::GetReason(0, reason));
    EXPECT_EQ(reason, "Success");
    EXPECT_TRUE(Logged("{DEBUG}:[ReturnCode::putRc]Duplicated Return code !"));
}

}  // namespace
