// What a log line may show of a text from outside: no line break it could forge lines
// with, and never the user's ticket.
#include "base/log_text.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(LogTextTest, ControlBytesAreEscapedAndSecretsShowOnlyAPrefixAndLength) {
    const struct {
        std::string text;
        std::string escaped;
        std::string masked;
    } cases[] = {
        {"plain text", "plain text", "pl...(10 chars)"},
        {"a\nb\r\tc", "a\\nb\\r\\tc", "a...(6 chars)"},
        {std::string("x\0y\x7f\x1b", 5), "x\\x00y\\x7f\\x1b", "x...(5 chars)"},
        {"abc", "abc", "...(3 chars)"},
        {"", "", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ToolBox::EscapeControls(c.text), c.escaped);
        EXPECT_EQ(ToolBox::HasControlChars(c.text), c.text != c.escaped);
        EXPECT_EQ(ToolBox::MaskSecret(c.text), c.masked);
    }
}

TEST(LogTextTest, ARequestBodyIsMaskedEscapedAndCut) {
    const std::string ticket = "TGT-5551-0123456789abcdefghij";
    const struct {
        std::string body;
        std::string logged;
    } cases[] = {
        {"version=2.6&castgc=" + ticket + "&arg=x", "version=2.6&castgc=TGT-...(29 chars)&arg=x"},
        {"castgc=" + ticket, "castgc=TGT-...(29 chars)"},
        {"zorvidId=a%0Ab\n&xcastgc=v", "zorvidId=a%0Ab\\n&xcastgc=v"},
        // A ticket that straddles the cut is still masked whole.
        {std::string(ToolBox::kMaxLoggedBody - 10, 'a') + "&castgc=" + ticket,
         std::string(ToolBox::kMaxLoggedBody - 10, 'a') + "&castgc=TGT-...(29 chars)...(" +
             std::to_string(ToolBox::kMaxLoggedBody + 27) + " bytes in all)"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ToolBox::RequestBodyForLog(c.body), c.logged);
    }
}

TEST(LogTextTest, AnEnvelopeIsPrintedWithItsTicketMasked) {
    JSON::JSONDocument envelope;
    ASSERT_EQ(envelope.Parse(R"({"op":"run","cinfo":{"cId":"p","cCas":"TGT-77-secret"},)"
                             R"("args":{"cCas":"kept"}})"),
              0);
    EXPECT_EQ(ToolBox::EnvelopeForLog(envelope.Root()),
              R"j({"op": "run", "cinfo": {"cId": "p", "cCas": "TGT...(13 chars)"}, )j"
              R"j("args": {"cCas": "kept"}})j");
    EXPECT_EQ(envelope.Root()->Get("cinfo")->Get("cCas")->GetString(), "TGT-77-secret");
    EXPECT_EQ(ToolBox::EnvelopeForLog(nullptr), "null");
}

}  // namespace
