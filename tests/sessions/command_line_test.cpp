#include "platform/command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Items = std::vector<std::string>;

struct SplitCase {
    const char* text;
    Items items;
};

class SplitCommandLineTest : public ::testing::TestWithParam<SplitCase> {};

TEST_P(SplitCommandLineTest, GivesTheItemsWindowsWouldGive) {
    EXPECT_EQ(ToolBox::SplitCommandLine(GetParam().text), GetParam().items)
        << "text: " << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(
    Table, SplitCommandLineTest,
    ::testing::Values(
        SplitCase{"", {}}, SplitCase{" \t ", {}},
        // The program item: quotes delimit it, backslashes are plain.
        SplitCase{R"("a b c" d e)", {"a b c", "d", "e"}},
        SplitCase{R"(C:\dir\tool.exe x)", {R"(C:\dir\tool.exe)", "x"}},
        SplitCase{R"("C:\Program Files\t.exe"x y)", {R"(C:\Program Files\t.exe)", "x", "y"}},
        SplitCase{R"("unterminated program)", {"unterminated program"}},
        SplitCase{"  lead\t\ttab  ", {"lead", "tab"}},
        // Backslashes before quotes.
        SplitCase{R"(p "ab\"c" "\\" d)", {"p", R"(ab"c)", R"(\)", "d"}},
        SplitCase{R"(p a\\\b d"e f"g h)", {"p", R"(a\\\b)", "de fg", "h"}},
        SplitCase{R"(p a\\\"b c d)", {"p", R"(a\"b)", "c", "d"}},
        SplitCase{R"(p a\\\\"b c" d e)", {"p", R"(a\\b c)", "d", "e"}},
        SplitCase{R"(p trailing\)", {"p", R"(trailing\)"}},
        // Doubled quotes and empty items.
        SplitCase{R"(p a"b"" c d)", {"p", R"(ab")", "c", "d"}},
        SplitCase{R"(p "" x "")", {"p", "", "x", ""}}, SplitCase{R"(p """")", {"p", R"(")"}},
        SplitCase{R"(p "open ended)", {"p", "open ended"}},
        // Quoted items as the system's command lines carry them.
        SplitCase{
            R"("C:\Z5\win_b64\code\bin\start.exe" -env "My Env" -dir "C:\Users\me\")",
            {R"(C:\Z5\win_b64\code\bin\start.exe)", "-env", "My Env", "-dir", R"(C:\Users\me")"}}));

struct QuoteCase {
    const char* item;
    const char* quoted;
};

class QuoteCommandLineArgTest : public ::testing::TestWithParam<QuoteCase> {};

TEST_P(QuoteCommandLineArgTest, QuotesOnlyWhatNeedsIt) {
    EXPECT_EQ(ToolBox::QuoteCommandLineArg(GetParam().item), GetParam().quoted);
}

INSTANTIATE_TEST_SUITE_P(Table, QuoteCommandLineArgTest,
                         ::testing::Values(QuoteCase{"", R"("")"}, QuoteCase{"hello", "hello"},
                                           QuoteCase{"hello world", R"("hello world")"},
                                           QuoteCase{"tab\there", "\"tab\there\""},
                                           QuoteCase{R"(hello\world)", R"(hello\world)"},
                                           QuoteCase{R"(hello"world)", R"("hello\"world")"},
                                           QuoteCase{R"(hello""world)", R"("hello\"\"world")"},
                                           QuoteCase{R"(hello\"world)", R"("hello\\\"world")"},
                                           QuoteCase{R"(hello\\"world)", R"("hello\\\\\"world")"},
                                           QuoteCase{R"(hello world\)", R"("hello world\\")"},
                                           QuoteCase{R"(a\b c)", R"("a\b c")"}));

// Whatever an item holds, joining then splitting gives it back.
TEST(JoinCommandLineTest, SplitGivesBackWhatWasJoined) {
    const Items items = {R"(C:\Program Files\app\bin\)",
                         "",
                         "plain",
                         "two words",
                         R"(quote"inside)",
                         R"(ends with\)",
                         R"(ends with space and \ )",
                         R"(\\server\share\"x")",
                         R"("")",
                         "\t",
                         R"(a\\\"b)"};
    EXPECT_EQ(ToolBox::SplitCommandLine(ToolBox::JoinCommandLine(items)), items);
}

TEST(JoinCommandLineTest, QuotesTheProgramWithoutEscapes) {
    EXPECT_EQ(ToolBox::JoinCommandLine({R"(C:\a b\)", "x y"}), R"("C:\a b\" "x y")");
    EXPECT_EQ(ToolBox::JoinCommandLine({"tool", "x"}), "tool x");
}

}  // namespace
