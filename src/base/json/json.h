// The JSON library of the daemon: a tree of items, compact and indented printing, and a
// parser (scanner rules and LALR grammar) that builds a tree through JSONDocument.
//
// Ownership: creation functions return std::unique_ptr; containers own their children;
// lookups (Get, GetAt, field getters) return pointers that stay owned by their container.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <iosfwd>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace JSON {

enum ItemType : std::uint32_t {
    OBJECT = 0,
    ARRAY = 1,
    NUMBER = 2,
    STRING = 3,
    BOOL_TRUE = 4,
    BOOL_FALSE = 5,
    NULL_VALUE = 6,
};

class JSONItem;
class JSONObject;
class JSONArray;
using ItemPtr = std::unique_ptr<JSONItem>;

class JSONItem {
  public:
    virtual ~JSONItem() = default;
    JSONItem(const JSONItem&) = delete;
    JSONItem& operator=(const JSONItem&) = delete;

    // Clone returns a deep copy, or nullptr when any part of it cannot be copied.
    virtual ItemPtr Clone() const = 0;
    // Print appends the compact text (the form that is sent, stored and compared).
    virtual void Print(std::string& out) const = 0;
    // Size is the number of elements or members; 0 for every scalar.
    virtual std::size_t Size() const = 0;
    // PrettyPrint appends the indented diagnostic text; depth is the current nesting.
    virtual void PrettyPrint(std::string& out, int depth) const = 0;

    std::string Print() const;
    std::string PrettyPrint() const;

    ItemType GetType() const { return type_; }
    bool IsObject() const { return type_ == OBJECT; }
    bool IsArray() const { return type_ == ARRAY; }
    bool IsNumber() const { return type_ == NUMBER; }
    bool IsString() const { return type_ == STRING; }
    bool IsBool() const { return type_ == BOOL_TRUE || type_ == BOOL_FALSE; }
    bool IsNull() const { return type_ == NULL_VALUE; }
    bool GetBool() const { return type_ == BOOL_TRUE; }
    // GetInt and GetInt64 read a number's text as a signed decimal; -1 for a non-number.
    std::int32_t GetInt() const;
    std::int64_t GetInt64() const;
    // GetString is the text of a number or a string, empty for every other type.
    std::string GetString() const;

    // Get returns the member's item, or nullptr (also when this is not an object).
    JSONItem* Get(std::string_view key) const;
    // GetAt returns the element, or nullptr (bad index, or this is not an array).
    JSONItem* GetAt(std::int64_t index) const;

    JSONObject* AsObject();
    const JSONObject* AsObject() const;
    JSONArray* AsArray();
    const JSONArray* AsArray() const;

  protected:
    explicit JSONItem(ItemType type) : type_(type) {}

    // DestroyAll deletes the items and all their descendants without recursion, so that
    // trees of any depth can be released.
    static void DestroyAll(std::vector<ItemPtr>& pending);

  private:
    ItemType type_;
};

// JSONValue holds the scalars: the text of a number or a string; empty for the others.
class JSONValue final : public JSONItem {
  public:
    JSONValue(ItemType type, std::string text) : JSONItem(type), text_(std::move(text)) {}
    ItemPtr Clone() const override;
    void Print(std::string& out) const override;
    std::size_t Size() const override { return 0; }
    void PrettyPrint(std::string& out, int depth) const override;
    using JSONItem::PrettyPrint;
    using JSONItem::Print;
    const std::string& Text() const { return text_; }

  private:
    std::string text_;
};

class JSONArray final : public JSONItem {
  public:
    JSONArray() : JSONItem(ARRAY) {}
    ~JSONArray() override;
    ItemPtr Clone() const override;
    void Print(std::string& out) const override;
    std::size_t Size() const override { return items_.size(); }
    void PrettyPrint(std::string& out, int depth) const override;
    using JSONItem::PrettyPrint;
    using JSONItem::Print;

    // Add appends; a null item is refused (false).
    bool Add(ItemPtr item);
    const std::vector<ItemPtr>& Items() const { return items_; }

  private:
    friend class JSONItem;
    std::vector<ItemPtr> items_;
};

class JSONObject final : public JSONItem {
  public:
    using Map = std::map<std::string, ItemPtr, std::less<>>;
    // Member order: references to the map entries in the order of insertion.
    using Order = std::vector<Map::iterator>;

    JSONObject() : JSONItem(OBJECT) {}
    ~JSONObject() override;
    ItemPtr Clone() const override;
    void Print(std::string& out) const override;
    std::size_t Size() const override { return members_.size(); }
    void PrettyPrint(std::string& out, int depth) const override;
    using JSONItem::PrettyPrint;
    using JSONItem::Print;

    // Set stores the member; an existing key gets the new item and moves to the end of
    // the member order. A null item is refused (false).
    bool Set(std::string key, ItemPtr item);
    // Remove deletes the member; false when it is absent.
    bool Remove(std::string_view key);
    JSONItem* Find(std::string_view key) const;
    const Order& Members() const { return order_; }

  private:
    friend class JSONItem;
    Map members_;
    Order order_;
};

// Creation. Each returns a new item that the caller owns.
ItemPtr CreateObject();
ItemPtr CreateArray();
ItemPtr CreateNumber(std::string text);
ItemPtr CreateNumber(std::int32_t value);
ItemPtr CreateNumber(std::int64_t value);
// CreateString gives a NULL_VALUE for an empty text when nullIfEmpty is set.
ItemPtr CreateString(std::string text, bool nullIfEmpty = true);
ItemPtr CreateString(const std::u16string& text, bool nullIfEmpty = true);
ItemPtr CreateBool(bool value);
ItemPtr CreateTrue();
ItemPtr CreateFalse();
ItemPtr CreateNull();

// Field getters: true only when the object is given, the member exists and has the
// right type; then the out-parameter is written.
bool GetIntField(std::string_view key, std::int32_t& out, const JSONItem* object);
bool GetItemField(std::string_view key, JSONItem*& out, const JSONItem* object);
bool GetStringField(std::string_view key, std::string& out, const JSONItem* object);
bool GetBoolField(std::string_view key, bool& out, const JSONItem* object);

// Unescape decodes a scanned string value (see the parser's rules).
std::string Unescape(std::string_view text);

// JSONDocument builds a tree step by step with a stack of open containers; the parser
// fills it through Add and End.
class JSONDocument {
  public:
    JSONDocument() = default;
    ~JSONDocument();
    JSONDocument(const JSONDocument&) = delete;
    JSONDocument& operator=(const JSONDocument&) = delete;

    void NewObject();
    void NewArray();
    bool SetRoot(ItemPtr item);
    bool Set(std::string key, ItemPtr item);
    bool Set(const std::u16string& key, ItemPtr item);
    bool Append(ItemPtr item);
    bool Add(ItemPtr item);
    void SetPendingKey(std::string key) { pendingKey_ = std::move(key); }
    void End();
    void Clear();

    // ToString writes the compact text of the root, or an empty text without a root.
    void ToString(std::string& out) const;
    std::string ToString() const;

    JSONItem* Root() const { return root_.get(); }
    ItemPtr Release();

    // Parse clears the document and parses the text: 0 on success, non-zero on a
    // syntax error (the document is then empty).
    int Parse(std::string_view text);
    int Parse(std::istream& in);

  private:
    ItemPtr root_;
    std::deque<JSONItem*> open_;
    std::string pendingKey_;
};

}  // namespace JSON
