// Items: text form, queries, cloning and trees deeper than any call stack.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <string>
#include <vector>

#include "base/json/json.h"

namespace {

using JSON::ItemPtr;
using JSON::JSONDocument;

ItemPtr Parsed(const std::string& text) {
    JSONDocument doc;
    EXPECT_EQ(doc.Parse(text), 0) << text;
    return doc.Release();
}

TEST(Unescape, Table) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {R"(plain é)", "plain é"}, {R"(\"\\\/)", "\"\\/"},     {R"(\b\f\n\r\t)", "\b\f\n\r\t"},
        {"bfnrt", "bfnrt"},        {R"(\u00e9)", R"(\u00e9)"}, {R"(\x\\x)", R"(\x\x)"},
        {R"(a"b/c)", "a\"b/c"},    {"end\\", "end"},
    };
    for (const auto& [in, out] : cases) {
        EXPECT_EQ(JSON::Unescape(in), out) << in;
    }
}

TEST(Print, StringEscapes) {
    auto item = JSON::CreateString("q\" s\\ /\b\f\n\r\t \x01\x1f\x7f \xc3\xa9");
    EXPECT_EQ(item->Print(), "\"q\\\" s\\\\ /\\b\\f\\n\\r\\t \x01\x1f\x7f \xc3\xa9\"");
}

TEST(Print, KeysAreWrittenAsStored) {
    auto object = JSON::CreateObject();
    object->AsObject()->Set("a\"b\n", JSON::CreateNumber(std::int32_t{1}));
    EXPECT_EQ(object->Print(), "{\"a\"b\n\": 1}");
}

TEST(Print, CompactLayout) {
    auto item = Parsed(R"({"id":"7","params":{"x":[1,2]},"e":{},"f":[],"t":true,"n":null})");
    EXPECT_EQ(item->Print(),
              R"({"id": "7", "params": {"x": [1, 2]}, "e": {}, "f": [], "t": true, "n": null})");
}

TEST(PrettyPrint, Layout) {
    auto item = Parsed(R"({"a": [1, {"b": "x\"y"}], "e": {}, "f": []})");
    EXPECT_EQ(item->PrettyPrint(),
              "{\n"
              "    \"a\": [\n"
              "        1,\n"
              "        {\n"
              "            \"b\": \"x\"y\"\n"
              "        }\n"
              "    ],\n"
              "    \"e\": {},\n"
              "    \"f\": []\n"
              "}");
    std::string nested;
    Parsed("[1]")->PrettyPrint(nested, 2);
    EXPECT_EQ(nested, "[\n            1\n        ]");
}

TEST(PrettyPrint, UnknownTypeIsFlagged) {
    JSON::JSONValue odd(static_cast<JSON::ItemType>(9), "v");
    EXPECT_EQ(odd.PrettyPrint(), "???");
    EXPECT_EQ(odd.Print(), "null");
}

TEST(Create, NumbersAndStrings) {
    EXPECT_EQ(JSON::CreateNumber(std::int32_t{INT32_MIN})->Print(), "-2147483648");
    EXPECT_EQ(JSON::CreateNumber(std::int64_t{INT64_MAX})->Print(), "9223372036854775807");
    EXPECT_EQ(JSON::CreateNumber("1.50e3")->Print(), "1.50e3");
    EXPECT_TRUE(JSON::CreateString("", true)->IsNull());
    EXPECT_TRUE(JSON::CreateString("", false)->IsString());
    EXPECT_TRUE(JSON::CreateString(std::u16string(), true)->IsNull());
    // BMP, a surrogate pair, and an unpaired surrogate.
    EXPECT_EQ(JSON::CreateString(u"\u00e9\U0001F600\xD800x")->GetString(),
              "\xc3\xa9\xf0\x9f\x98\x80\xef\xbf\xbdx");
    EXPECT_EQ(JSON::CreateBool(false)->GetType(), JSON::BOOL_FALSE);
}

TEST(Queries, GetIntReadsLikeStreamExtraction) {
    const std::vector<std::tuple<std::string, std::int32_t, std::int64_t>> cases = {
        {"42", 42, 42},
        {"-0", 0, 0},
        {"12abc", 12, 12},
        {"1.9", 1, 1},
        {"7e3", 7, 7},
        {"abc", 0, 0},
        {"99999999999", INT32_MAX, 99999999999},
        {"-99999999999", INT32_MIN, -99999999999},
    };
    for (const auto& [text, i32, i64] : cases) {
        auto number = JSON::CreateNumber(text);
        EXPECT_EQ(number->GetInt(), i32) << text;
        EXPECT_EQ(number->GetInt64(), i64) << text;
    }
}

TEST(Queries, WrongTypes) {
    auto item = Parsed(R"({"s": "5", "n": 5, "b": true, "z": null, "a": [1], "o": {}})");
    EXPECT_EQ(item->Get("s")->GetInt(), -1);
    EXPECT_EQ(item->Get("s")->GetInt64(), -1);
    EXPECT_EQ(item->Get("b")->GetString(), "");
    EXPECT_EQ(item->Get("z")->GetString(), "");
    EXPECT_EQ(item->Get("n")->GetString(), "5");
    EXPECT_EQ(item->Get("a")->Get("s"), nullptr);
    EXPECT_EQ(item->GetAt(0), nullptr);
    EXPECT_EQ(item->Get("a")->GetAt(-1), nullptr);
    EXPECT_EQ(item->Get("a")->GetAt(1), nullptr);
    EXPECT_EQ(item->Get("a")->GetAt(0)->GetInt(), 1);
    EXPECT_EQ(item->Get("missing"), nullptr);

    // A scalar that claims a container type is not treated as one.
    JSON::JSONValue fake(JSON::OBJECT, "");
    EXPECT_EQ(fake.Get("x"), nullptr);
    EXPECT_EQ(fake.AsObject(), nullptr);
}

TEST(Queries, FieldGetters) {
    auto item = Parsed(R"({"s": "5", "n": 5, "b": false, "a": [1], "o": {}})");
    std::int32_t number = 0;
    std::string text = "untouched";
    bool flag = true;
    JSON::JSONItem* child = nullptr;

    EXPECT_TRUE(JSON::GetIntField("n", number, item.get()));
    EXPECT_EQ(number, 5);
    EXPECT_FALSE(JSON::GetIntField("s", number, item.get()));
    EXPECT_FALSE(JSON::GetStringField("n", text, item.get()));
    EXPECT_EQ(text, "untouched");
    EXPECT_TRUE(JSON::GetStringField("s", text, item.get()));
    EXPECT_EQ(text, "5");
    EXPECT_TRUE(JSON::GetBoolField("b", flag, item.get()));
    EXPECT_FALSE(flag);
    EXPECT_FALSE(JSON::GetBoolField("n", flag, item.get()));
    EXPECT_TRUE(JSON::GetItemField("a", child, item.get()));
    EXPECT_TRUE(JSON::GetItemField("o", child, item.get()));
    EXPECT_EQ(child, item->Get("o"));
    EXPECT_FALSE(JSON::GetItemField("s", child, item.get()));
    EXPECT_FALSE(JSON::GetIntField("n", number, nullptr));
    EXPECT_FALSE(JSON::GetIntField("n", number, item->Get("a")));
    EXPECT_FALSE(JSON::GetIntField("missing", number, item.get()));
}

TEST(Object, SetAndRemoveKeepMemberOrder) {
    auto item = JSON::CreateObject();
    JSON::JSONObject& object = *item->AsObject();
    EXPECT_FALSE(object.Set("a", nullptr));
    object.Set("c", JSON::CreateTrue());
    object.Set("a", JSON::CreateTrue());
    object.Set("b", JSON::CreateTrue());
    object.Set("c", JSON::CreateFalse());
    EXPECT_EQ(item->Print(), R"({"a": true, "b": true, "c": false})");
    EXPECT_TRUE(object.Remove("a"));
    EXPECT_FALSE(object.Remove("a"));
    object.Set("a", JSON::CreateNull());
    EXPECT_EQ(item->Print(), R"({"b": true, "c": false, "a": null})");
}

TEST(Clone, DeepCopyInMemberOrder) {
    auto original = Parsed(R"({"b": 1, "a": {"y": [1, "s", {}], "x": null}, "b": 2})");
    auto copy = original->Clone();
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(copy->Print(), original->Print());
    EXPECT_EQ(copy->Print(), R"({"a": {"y": [1, "s", {}], "x": null}, "b": 2})");
    copy->Get("a")->AsObject()->Set("y", JSON::CreateNull());
    EXPECT_EQ(original->Get("a")->Get("y")->Size(), 3u);
    EXPECT_EQ(JSON::CreateNumber("3")->Clone()->Print(), "3");
}

// Trees far deeper than the parser accepts can still be built by hand; printing, cloning
// and releasing them must not use the call stack per level.
TEST(DeepTree, PrintCloneAndRelease) {
    constexpr int kPairs = 150000;
    JSONDocument doc;
    doc.NewArray();
    std::string expected = "[";
    for (int i = 0; i < kPairs; ++i) {
        ASSERT_TRUE(doc.Append(JSON::CreateObject()));
        ASSERT_TRUE(doc.Set("k", JSON::CreateArray()));
        expected += "{\"k\": [";
    }
    expected += "]";
    for (int i = 0; i < kPairs; ++i) {
        expected += "}]";
    }
    EXPECT_EQ(doc.ToString(), expected);
    ItemPtr copy = doc.Root()->Clone();
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(copy->Print(), expected);
}

}  // namespace
