// JSONDocument: building a tree through the stack of open containers.
#include <gtest/gtest.h>

#include "base/json/json.h"

namespace {

using JSON::JSONDocument;

TEST(Document, EmptyContainersOpenUntilEnd) {
    JSONDocument doc;
    doc.NewObject();
    EXPECT_TRUE(doc.Set("id", JSON::CreateString("7")));
    EXPECT_TRUE(doc.Set("params", JSON::CreateObject()));
    EXPECT_TRUE(doc.Set("x", JSON::CreateArray()));
    EXPECT_TRUE(doc.Append(JSON::CreateNumber(std::int32_t{1})));
    EXPECT_TRUE(doc.Append(JSON::CreateNumber(std::int64_t{2})));
    doc.End();  // x
    EXPECT_TRUE(doc.Set(u"\u00e9", JSON::CreateString("", true)));
    doc.End();  // params
    EXPECT_TRUE(doc.Set("method", JSON::CreateString("m")));
    EXPECT_EQ(
        doc.ToString(),
        "{\"id\": \"7\", \"params\": {\"x\": [1, 2], \"\xc3\xa9\": null}, \"method\": \"m\"}");
}

TEST(Document, FilledContainerIsNotOpened) {
    JSONDocument doc;
    doc.NewArray();
    auto inner = JSON::CreateArray();
    inner->AsArray()->Add(JSON::CreateTrue());
    EXPECT_TRUE(doc.Append(std::move(inner)));
    EXPECT_TRUE(doc.Append(JSON::CreateFalse()));
    EXPECT_EQ(doc.ToString(), "[[true], false]");
}

TEST(Document, RefusesWhatTheTopCannotTake) {
    JSONDocument doc;
    EXPECT_FALSE(doc.Set("a", JSON::CreateTrue()));  // nothing open
    EXPECT_FALSE(doc.Append(JSON::CreateTrue()));
    EXPECT_FALSE(doc.SetRoot(JSON::CreateTrue()));
    EXPECT_EQ(doc.Root(), nullptr);

    doc.NewArray();
    EXPECT_FALSE(doc.Set("a", JSON::CreateTrue()));
    EXPECT_FALSE(doc.Append(nullptr));
    doc.NewObject();
    EXPECT_FALSE(doc.Append(JSON::CreateTrue()));
    EXPECT_FALSE(doc.Set("a", nullptr));
    EXPECT_FALSE(doc.SetRoot(JSON::CreateNumber("1")));
    EXPECT_EQ(doc.ToString(), "{}");
    doc.End();
    doc.End();  // harmless on an empty stack
    EXPECT_FALSE(doc.Set("a", JSON::CreateTrue()));
}

TEST(Document, AddUsesThePendingKeyOnce) {
    JSONDocument doc;
    EXPECT_FALSE(doc.Add(JSON::CreateTrue()));  // a scalar cannot be the root
    EXPECT_TRUE(doc.Add(JSON::CreateObject()));
    EXPECT_FALSE(doc.Add(JSON::CreateTrue()));  // no key yet
    doc.SetPendingKey("a");
    EXPECT_TRUE(doc.Add(JSON::CreateArray()));
    EXPECT_TRUE(doc.Add(JSON::CreateNull()));  // into the array; key not needed
    doc.End();
    EXPECT_FALSE(doc.Add(JSON::CreateTrue()));  // the key was used up
    EXPECT_EQ(doc.ToString(), "{\"a\": [null]}");

    doc.End();
    EXPECT_TRUE(doc.Add(JSON::CreateArray()));  // nothing open: replaces the root
    EXPECT_EQ(doc.ToString(), "[]");
}

TEST(Document, ReleaseHandsOverTheRoot) {
    JSONDocument doc;
    std::string text = "stale";
    doc.ToString(text);
    EXPECT_EQ(text, "");
    doc.NewObject();
    doc.Set("a", JSON::CreateObject());
    JSON::ItemPtr root = doc.Release();
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(doc.Root(), nullptr);
    EXPECT_FALSE(doc.Set("b", JSON::CreateTrue()));  // the released tree is not open
    EXPECT_EQ(root->Print(), "{\"a\": {}}");
}

}  // namespace
