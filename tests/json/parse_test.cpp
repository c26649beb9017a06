// Parsing: what text becomes which tree, and what is refused.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "base/json/json.h"

namespace {

using JSON::JSONDocument;

struct ParseCase {
    const char* name;
    std::string text;
    std::string printed;  // compact text of the parsed tree
};

void PrintTo(const ParseCase& c, std::ostream* os) {
    *os << c.name;
}

class ParsesTo : public testing::TestWithParam<ParseCase> {};

TEST_P(ParsesTo, CompactText) {
    JSONDocument doc;
    ASSERT_EQ(doc.Parse(GetParam().text), 0);
    EXPECT_EQ(doc.ToString(), GetParam().printed);
}

INSTANTIATE_TEST_SUITE_P(
    Scanner, ParsesTo,
    testing::Values(
        ParseCase{"LeadingZerosAndMinusZero", "[01, -0, 007]", "[01, -0, 007]"},
        ParseCase{"NumberTextKept", "[1.50, 2E+03, -3e-1]", "[1.50, 2E+03, -3e-1]"},
        ParseCase{"TrailingPointSkipped", "[1.]", "[1]"},
        ParseCase{"SignAndPointSkipped", "[+1, .5]", "[1, 5]"},
        ParseCase{"CrLf", "{\r\n\"a\": 1,\r\n\"b\": [2]\r\n}\r\n", "{\"a\": 1, \"b\": [2]}"},
        ParseCase{"StrayBytes", "x{ # \"a\" ~: @1 }\x01\xff", "{\"a\": 1}"},
        ParseCase{"LettersAroundLiterals", "[truex, yfalse, nullz]", "[true, false, null]"},
        ParseCase{"BadEscapeDropsBackslash", R"(["a\xb", "\u12", "\q"])", R"(["axb", "u12", "q"])"},
        ParseCase{"EscapesInValue", R"(["\"\\\/", "\b\f\n\r\t"])", R"(["\"\\/", "\b\f\n\r\t"])"},
        ParseCase{"UnicodeEscapeKept", R"(["\u00e9\u00C9"])", R"(["\\u00e9\\u00C9"])"},
        ParseCase{"RawUtf8AndControlBytes", "[\"\xc3\xa9\x01\n\"]", "[\"\xc3\xa9\x01\\n\"]"},
        ParseCase{"EmbeddedNul", std::string("[\"a\0b\"]", 7), std::string("[\"a\0b\"]", 7)}),
    [](const auto& info) { return info.param.name; });

INSTANTIATE_TEST_SUITE_P(
    Members, ParsesTo,
    testing::Values(
        ParseCase{"EmptyStringIsNull", R"({"a": ""})", R"({"a": null})"},
        ParseCase{"KeyKeptAsScanned", R"({"a\"b\u0041": 1})", R"({"a\"b\u0041": 1})"},
        ParseCase{"KeyBadEscapeDropped", R"({"a\xb": 1})", R"({"axb": 1})"},
        ParseCase{"RepeatedKeyReplaced", R"({"a":1,"a":2,"b":3})", R"({"a": 2, "b": 3})"},
        ParseCase{"RepeatedKeyMovesLast", R"({"a":1,"b":2,"a":3})", R"({"b": 2, "a": 3})"},
        ParseCase{"OrderIsNotKeyOrder", R"({"z":1,"m":2,"a":3})", R"({"z": 1, "m": 2, "a": 3})"},
        ParseCase{"EmptyKeyDropped", R"({"": 1, "a": 2})", R"({"a": 2})"},
        // The refused container is never opened, so its closing bracket closes the outer
        // object and its members land one level up.
        ParseCase{"EmptyKeyContainerClosesOuter", R"({"x": 0, "": {"b": 1}})",
                  R"({"x": 0, "b": 1})"},
        ParseCase{"EmptyKeyThenMoreMembers", R"([{"": [], "c": 1}, 5])", R"([{}, 1])"},
        ParseCase{"EmptyContainers", R"({"a": {}, "b": [], "c": [[], {}]})",
                  R"({"a": {}, "b": [], "c": [[], {}]})"}),
    [](const auto& info) { return info.param.name; });

TEST(ParseErrors, LeaveTheDocumentEmpty) {
    const std::vector<std::string> texts = {
        "",          "   ",         "42",           "\"text\"", "true",        "[1, 2,]",
        "{\"a\" 1}", "{\"a\": 1,}", "[1 2]",        "{1: 2}",   "[",           "[1]]",
        "[] []",     "{\"a\":}",    "[\"unclosed]", "[1.e5]",   "{\"a\": [}]", ":",
    };
    for (const std::string& text : texts) {
        JSONDocument doc;
        doc.NewObject();
        doc.Set("stale", JSON::CreateTrue());
        EXPECT_NE(doc.Parse(text), 0) << text;
        EXPECT_EQ(doc.Root(), nullptr) << text;
        EXPECT_EQ(doc.ToString(), "") << text;
        // Nothing stays open from the failed parse.
        EXPECT_FALSE(doc.Set("k", JSON::CreateTrue())) << text;
    }
}

TEST(ParseErrors, DeepNestingIsRefusedNotFatal) {
    for (const char* open : {"[", "{\"k\":"}) {
        std::string text;
        for (int i = 0; i < 100000; ++i) {
            text += open;
        }
        JSONDocument doc;
        EXPECT_NE(doc.Parse(text), 0);
        EXPECT_EQ(doc.Root(), nullptr);
    }
    // Nesting that the parser does allow still parses.
    std::string text = std::string(5000, '[') + std::string(5000, ']');
    JSONDocument doc;
    EXPECT_EQ(doc.Parse(text), 0);
}

TEST(Parse, LongAndShortTextsInTurn) {
    // Texts above and below the size whose scan copy is kept per thread, in turn.
    for (const std::size_t size : {std::size_t{3} << 20, std::size_t{10}, std::size_t{70000}}) {
        const std::string value(size, 'v');
        JSONDocument doc;
        ASSERT_EQ(doc.Parse("[\"" + value + "\"]"), 0) << size;
        EXPECT_EQ(doc.Root()->GetAt(0)->GetString(), value);
        ASSERT_EQ(doc.Parse("[1]"), 0);
        EXPECT_EQ(doc.ToString(), "[1]");
    }
}

TEST(Parse, ReplacesPreviousContent) {
    JSONDocument doc;
    ASSERT_EQ(doc.Parse(R"({"a": 1})"), 0);
    ASSERT_EQ(doc.Parse(R"([2])"), 0);
    EXPECT_EQ(doc.ToString(), "[2]");
}

TEST(ParseStream, TokensSplitAcrossBlocks) {
    // Put string, number and literal tokens across the 16384-byte block boundary, each
    // longer than the part that fits in the first block.
    for (std::size_t pad = 16370; pad < 16390; ++pad) {
        std::string text =
            "[\"" + std::string(pad, 'p') + "\", \"abc\\\"def\\u0041\", 123456789, true]";
        std::istringstream in(text);
        JSONDocument doc;
        ASSERT_EQ(doc.Parse(in), 0) << pad;
        ASSERT_EQ(doc.Root()->Size(), 4u);
        EXPECT_EQ(doc.Root()->GetAt(0)->GetString().size(), pad);
        EXPECT_EQ(doc.Root()->GetAt(1)->GetString(), "abc\"def\\u0041");
        EXPECT_EQ(doc.Root()->GetAt(2)->GetString(), "123456789");
        EXPECT_TRUE(doc.Root()->GetAt(3)->GetBool());
    }
}

TEST(ParseStream, StringLongerThanSeveralBlocks) {
    std::string value(100000, 'x');
    value[50000] = '\\';  // a dropped backslash in the middle: the slow string path
    std::istringstream in("{\"v\": \"" + value + "\"}");
    JSONDocument doc;
    ASSERT_EQ(doc.Parse(in), 0);
    EXPECT_EQ(doc.Root()->Get("v")->GetString().size(), value.size() - 1);
}

TEST(ParseStream, ErrorsAsFromMemory) {
    std::istringstream in("[1, 2,]");
    JSONDocument doc;
    EXPECT_NE(doc.Parse(in), 0);
    EXPECT_EQ(doc.Root(), nullptr);
}

TEST(ParseStream, EndOfInputIsNotAnErrorWhateverTheExceptionMask) {
    std::istringstream in("{\"a\": [1]}");
    in.exceptions(std::ios::eofbit | std::ios::failbit);
    JSONDocument doc;
    EXPECT_EQ(doc.Parse(in), 0);
    EXPECT_EQ(doc.ToString(), "{\"a\": [1]}");
}

TEST(Parse, ConcurrentParsesDoNotShareState) {
    // Each thread keeps a scanner in the middle of a string while the others run.
    std::vector<std::thread> threads;
    std::vector<int> failures(4, 0);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t, &failures] {
            const std::string value = std::string(20000 + t, static_cast<char>('a' + t)) + "\\z";
            const std::string text = "{\"t\": \"" + value + "\"}";
            for (int i = 0; i < 50; ++i) {
                JSONDocument doc;
                if (doc.Parse(text) != 0 ||
                    doc.Root()->Get("t")->GetString() != value.substr(0, value.size() - 2) + "z") {
                    ++failures[t];
                }
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(failures, std::vector<int>(4, 0));
}

}  // namespace
