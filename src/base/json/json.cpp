// Items of the JSON tree: creation, queries, compact and indented printing, cloning and
// teardown. Printing, cloning and teardown walk the tree with an explicit stack, so a tree
// of any depth (parsed trees are bounded, built ones are not) cannot exhaust the call stack.
#include "base/json/json.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <locale>
#include <new>
#include <sstream>

#include "base/json/parser_support.h"

namespace JSON {
namespace {

// kEscapes maps each byte to the letter of its two-byte escape in compact text, or 0.
constexpr std::array<char, 256> MakeEscapes() {
    std::array<char, 256> table{};
    table['"'] = '"';
    table['\\'] = '\\';
    table['\b'] = 'b';
    table['\f'] = 'f';
    table['\n'] = 'n';
    table['\r'] = 'r';
    table['\t'] = 't';
    return table;
}
constexpr std::array<char, 256> kEscapes = MakeEscapes();

void AppendEscaped(std::string& out, const std::string& text) {
    const char* run = text.data();
    const char* const end = run + text.size();
    for (const char* p = run; p != end; ++p) {
        const char letter = kEscapes[static_cast<unsigned char>(*p)];
        if (letter == 0) {
            continue;
        }
        out.append(run, p);
        out.push_back('\\');
        out.push_back(letter);
        run = p + 1;
    }
    out.append(run, end);
}

void AppendIndent(std::string& out, int depth) {
    out.push_back('\n');
    out.append(static_cast<std::size_t>(std::max(depth, 0)) * 4, ' ');
}

// ScalarText writes a scalar in compact or indented form; the two differ only in strings.
void ScalarText(const JSONValue& value, std::string& out, bool pretty) {
    switch (value.GetType()) {
        case NUMBER:
            out += value.Text();
            return;
        case STRING:
            out.push_back('"');
            if (pretty) {
                out += value.Text();
            } else {
                AppendEscaped(out, value.Text());
            }
            out.push_back('"');
            return;
        case BOOL_TRUE:
            out += "true";
            return;
        case BOOL_FALSE:
            out += "false";
            return;
        case NULL_VALUE:
            out += "null";
            return;
        default:
            // A value of a type outside the model: the diagnostic text flags it, the text
            // that is sent stays valid JSON.
            out += pretty ? "???" : "null";
            return;
    }
}

// Cursor is one open container of a tree walk and the index of its next child.
struct Cursor {
    const JSONArray* array;
    const JSONObject* object;
    std::size_t next = 0;

    std::size_t Size() const { return array ? array->Items().size() : object->Members().size(); }
};

// Write prints a tree without recursion: each container on the path from the root to the
// item being printed has one cursor on the stack.
void Write(const JSONItem& root, std::string& out, bool pretty, int baseDepth) {
    std::vector<Cursor> path;
    auto open = [&](const JSONItem& item) {
        if (const JSONArray* array = item.AsArray()) {
            out.push_back('[');
            path.push_back({array, nullptr});
        } else if (const JSONObject* object = item.AsObject()) {
            out.push_back('{');
            path.push_back({nullptr, object});
        } else {
            ScalarText(static_cast<const JSONValue&>(item), out, pretty);
        }
    };
    open(root);
    while (!path.empty()) {
        Cursor& cursor = path.back();
        const int depth = baseDepth + static_cast<int>(path.size());
        const std::size_t index = cursor.next++;
        if (index == cursor.Size()) {
            if (pretty && index != 0) {
                AppendIndent(out, depth - 1);
            }
            out.push_back(cursor.array ? ']' : '}');
            path.pop_back();
            continue;
        }
        if (index != 0) {
            out += pretty ? "," : ", ";
        }
        if (pretty) {
            AppendIndent(out, depth);
        }
        const JSONItem* child;
        if (cursor.array) {
            child = cursor.array->Items()[index].get();
        } else {
            const auto& member = *cursor.object->Members()[index];
            out.push_back('"');
            out += member.first;
            out += "\": ";
            child = member.second.get();
        }
        open(*child);  // may grow the stack: cursor is not used after this
    }
}

// EmptyCopy copies a scalar, or makes an empty container of the same kind.
ItemPtr EmptyCopy(const JSONItem& item) {
    if (item.AsArray()) {
        return std::make_unique<JSONArray>();
    }
    if (item.AsObject()) {
        return std::make_unique<JSONObject>();
    }
    const auto& value = static_cast<const JSONValue&>(item);
    return std::make_unique<JSONValue>(value.GetType(), value.Text());
}

// CloneTree copies a tree without recursion; each copied container is filled in the
// source's order, members through Set.
ItemPtr CloneTree(const JSONItem& source) {
    struct Step {
        Cursor from;
        JSONItem* to;
    };
    try {
        ItemPtr root = EmptyCopy(source);
        std::vector<Step> path;
        auto push = [&](const JSONItem& from, JSONItem* to) {
            if (from.AsArray()) {
                path.push_back({{from.AsArray(), nullptr}, to});
            } else if (from.AsObject()) {
                path.push_back({{nullptr, from.AsObject()}, to});
            }
        };
        push(source, root.get());
        while (!path.empty()) {
            Step& step = path.back();
            const std::size_t index = step.from.next++;
            if (index == step.from.Size()) {
                path.pop_back();
                continue;
            }
            JSONItem* target = step.to;
            const JSONItem* child;
            ItemPtr copy;
            if (step.from.array) {
                child = step.from.array->Items()[index].get();
                copy = EmptyCopy(*child);
                JSONItem* raw = copy.get();
                target->AsArray()->Add(std::move(copy));
                push(*child, raw);
            } else {
                const auto& member = *step.from.object->Members()[index];
                child = member.second.get();
                copy = EmptyCopy(*child);
                JSONItem* raw = copy.get();
                target->AsObject()->Set(member.first, std::move(copy));
                push(*child, raw);
            }
        }
        return root;
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

template <typename Make>
ItemPtr Create(Make make) {
    try {
        return make();
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

template <typename Int>
Int ExtractInteger(const std::string& text) {
    std::istringstream in(text);
    in.imbue(std::locale::classic());
    Int value = 0;
    in >> value;
    return value;
}

// AppendUtf8 encodes one code point.
void AppendUtf8(std::string& out, char32_t code) {
    if (code < 0x80) {
        out.push_back(static_cast<char>(code));
    } else if (code < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (code >> 6)));
        out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else if (code < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (code >> 12)));
        out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (code >> 18)));
        out.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    }
}

// ToUtf8 converts UTF-16; an unpaired surrogate becomes U+FFFD.
std::string ToUtf8(const std::u16string& text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        char32_t unit = text[i];
        if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            unit = 0x10000 + ((unit - 0xD800) << 10) + (text[++i] - 0xDC00);
        } else if (unit >= 0xD800 && unit <= 0xDFFF) {
            unit = 0xFFFD;
        }
        AppendUtf8(out, unit);
    }
    return out;
}

// HasChildren tells whether an item is a container with something in it; the type test
// spares the virtual call for the many scalars.
bool HasChildren(const JSONItem& item) {
    return (item.IsObject() || item.IsArray()) && item.Size() != 0;
}

}  // namespace

// ---- JSONItem ----

std::string JSONItem::Print() const {
    std::string out;
    Print(out);
    return out;
}

std::string JSONItem::PrettyPrint() const {
    std::string out;
    PrettyPrint(out, 0);
    return out;
}

// GetInt reads like `stream >> int32`: leading digits count ("12abc" is 12), text without
// a leading integer gives 0, and out-of-range values saturate.
std::int32_t JSONItem::GetInt() const {
    if (!IsNumber()) {
        return -1;
    }
    return ExtractInteger<std::int32_t>(static_cast<const JSONValue*>(this)->Text());
}

std::int64_t JSONItem::GetInt64() const {
    if (!IsNumber()) {
        return -1;
    }
    return ExtractInteger<std::int64_t>(static_cast<const JSONValue*>(this)->Text());
}

std::string JSONItem::GetString() const {
    // Only JSONValue can carry these two types.
    if (IsNumber() || IsString()) {
        return static_cast<const JSONValue*>(this)->Text();
    }
    return {};
}

JSONItem* JSONItem::Get(std::string_view key) const {
    const JSONObject* object = AsObject();
    return object ? object->Find(key) : nullptr;
}

JSONItem* JSONItem::GetAt(std::int64_t index) const {
    const JSONArray* array = AsArray();
    if (!array || index < 0 || static_cast<std::uint64_t>(index) >= array->Items().size()) {
        return nullptr;
    }
    return array->Items()[static_cast<std::size_t>(index)].get();
}

// The casts check the class as well as the type: a JSONValue may be given any type.
JSONObject* JSONItem::AsObject() {
    return type_ == OBJECT ? dynamic_cast<JSONObject*>(this) : nullptr;
}
const JSONObject* JSONItem::AsObject() const {
    return type_ == OBJECT ? dynamic_cast<const JSONObject*>(this) : nullptr;
}
JSONArray* JSONItem::AsArray() {
    return type_ == ARRAY ? dynamic_cast<JSONArray*>(this) : nullptr;
}
const JSONArray* JSONItem::AsArray() const {
    return type_ == ARRAY ? dynamic_cast<const JSONArray*>(this) : nullptr;
}

void JSONItem::DestroyAll(std::vector<ItemPtr>& pending) {
    // Each popped container hands its children to the list before it dies, so its own
    // destructor finds it empty and never nests.
    while (!pending.empty()) {
        ItemPtr item = std::move(pending.back());
        pending.pop_back();
        if (JSONArray* array = item->AsArray()) {
            for (ItemPtr& child : array->items_) {
                if (HasChildren(*child)) {
                    pending.push_back(std::move(child));
                }
            }
            array->items_.clear();
        } else if (JSONObject* object = item->AsObject()) {
            for (auto& [key, child] : object->members_) {
                if (HasChildren(*child)) {
                    pending.push_back(std::move(child));
                }
            }
            object->order_.clear();
            object->members_.clear();
        }
    }
}

// ---- JSONValue ----

ItemPtr JSONValue::Clone() const {
    return Create([this] { return std::make_unique<JSONValue>(GetType(), text_); });
}

void JSONValue::Print(std::string& out) const {
    ScalarText(*this, out, false);
}

void JSONValue::PrettyPrint(std::string& out, int /*depth*/) const {
    ScalarText(*this, out, true);
}

// ---- JSONArray ----

JSONArray::~JSONArray() {
    std::vector<ItemPtr> pending;
    for (ItemPtr& item : items_) {
        if (HasChildren(*item)) {
            pending.push_back(std::move(item));
        }
    }
    DestroyAll(pending);
}

ItemPtr JSONArray::Clone() const {
    return CloneTree(*this);
}

void JSONArray::Print(std::string& out) const {
    Write(*this, out, false, 0);
}

void JSONArray::PrettyPrint(std::string& out, int depth) const {
    Write(*this, out, true, depth);
}

bool JSONArray::Add(ItemPtr item) {
    if (!item) {
        return false;
    }
    if (items_.empty()) {
        items_.reserve(4);  // most arrays are short: skip the first regrowths
    }
    items_.push_back(std::move(item));
    return true;
}

// ---- JSONObject ----

JSONObject::~JSONObject() {
    std::vector<ItemPtr> pending;
    for (auto& [key, item] : members_) {
        if (HasChildren(*item)) {
            pending.push_back(std::move(item));
        }
    }
    DestroyAll(pending);
}

ItemPtr JSONObject::Clone() const {
    return CloneTree(*this);
}

void JSONObject::Print(std::string& out) const {
    Write(*this, out, false, 0);
}

void JSONObject::PrettyPrint(std::string& out, int depth) const {
    Write(*this, out, true, depth);
}

bool JSONObject::Set(std::string key, ItemPtr item) {
    if (!item) {
        return false;
    }
    auto [entry, inserted] = members_.try_emplace(std::move(key));
    entry->second = std::move(item);
    if (!inserted) {
        // A repeated key keeps one member, now the last in the order.
        auto place = std::find(order_.begin(), order_.end(), entry);
        std::rotate(place, place + 1, order_.end());
        return true;
    }
    if (order_.empty()) {
        order_.reserve(8);  // most objects are small: skip the first few regrowths
    }
    order_.push_back(entry);
    return true;
}

bool JSONObject::Remove(std::string_view key) {
    auto entry = members_.find(key);
    if (entry == members_.end()) {
        return false;
    }
    order_.erase(std::find(order_.begin(), order_.end(), entry));
    ItemPtr doomed = std::move(entry->second);
    members_.erase(entry);
    return true;
}

JSONItem* JSONObject::Find(std::string_view key) const {
    auto entry = members_.find(key);
    return entry == members_.end() ? nullptr : entry->second.get();
}

// ---- Creation ----

ItemPtr CreateObject() {
    return Create([] { return std::make_unique<JSONObject>(); });
}

ItemPtr CreateArray() {
    return Create([] { return std::make_unique<JSONArray>(); });
}

ItemPtr CreateNumber(std::string text) {
    return Create([&] { return std::make_unique<JSONValue>(NUMBER, std::move(text)); });
}

ItemPtr CreateNumber(std::int32_t value) {
    return CreateNumber(std::to_string(value));
}

ItemPtr CreateNumber(std::int64_t value) {
    return CreateNumber(std::to_string(value));
}

ItemPtr CreateString(std::string text, bool nullIfEmpty) {
    if (text.empty() && nullIfEmpty) {
        return CreateNull();
    }
    return Create([&] { return std::make_unique<JSONValue>(STRING, std::move(text)); });
}

ItemPtr CreateString(const std::u16string& text, bool nullIfEmpty) {
    try {
        return CreateString(ToUtf8(text), nullIfEmpty);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

ItemPtr CreateBool(bool value) {
    return value ? CreateTrue() : CreateFalse();
}

ItemPtr CreateTrue() {
    return Create([] { return std::make_unique<JSONValue>(BOOL_TRUE, std::string()); });
}

ItemPtr CreateFalse() {
    return Create([] { return std::make_unique<JSONValue>(BOOL_FALSE, std::string()); });
}

ItemPtr CreateNull() {
    return Create([] { return std::make_unique<JSONValue>(NULL_VALUE, std::string()); });
}

// ---- Field getters ----

bool GetIntField(std::string_view key, std::int32_t& out, const JSONItem* object) {
    const JSONItem* item = object ? object->Get(key) : nullptr;
    if (!item || !item->IsNumber()) {
        return false;
    }
    out = item->GetInt();
    return true;
}

bool GetItemField(std::string_view key, JSONItem*& out, const JSONItem* object) {
    JSONItem* item = object ? object->Get(key) : nullptr;
    if (!item || !(item->AsArray() || item->AsObject())) {
        return false;
    }
    out = item;
    return true;
}

bool GetStringField(std::string_view key, std::string& out, const JSONItem* object) {
    const JSONItem* item = object ? object->Get(key) : nullptr;
    if (!item || !item->IsString()) {
        return false;
    }
    out = static_cast<const JSONValue*>(item)->Text();
    return true;
}

bool GetBoolField(std::string_view key, bool& out, const JSONItem* object) {
    const JSONItem* item = object ? object->Get(key) : nullptr;
    if (!item || !item->IsBool()) {
        return false;
    }
    out = item->GetBool();
    return true;
}

// ---- Unescape ----

namespace detail {
namespace {

// UnescapeBytes decodes `size` bytes at `in` to `out` and returns the decoded length. The
// result is never longer than the input and `out` never passes `in`, so `out` may be `in`.
std::size_t UnescapeBytes(const char* in, std::size_t size, char* out) {
    const char* const end = in + size;
    char* const first = out;
    while (in != end) {
        // Runs without a backslash move in one piece; only escapes need a decision.
        const auto* slash = static_cast<const char*>(std::memchr(in, '\\', end - in));
        const char* const runEnd = slash ? slash : end;
        if (out != in) {
            std::memmove(out, in, runEnd - in);
        }
        out += runEnd - in;
        in = runEnd;
        if (!slash || slash + 1 == end) {
            break;  // done; a final lone backslash is dropped
        }
        const char c = slash[1];
        in = slash + 2;
        switch (c) {
            case '\\':
            case '"':
            case '/':
                *out++ = c;
                break;
            case 'b':
                *out++ = '\b';
                break;
            case 'f':
                *out++ = '\f';
                break;
            case 'n':
                *out++ = '\n';
                break;
            case 'r':
                *out++ = '\r';
                break;
            case 't':
                *out++ = '\t';
                break;
            default:
                // Unknown escapes, \u among them, keep their backslash.
                *out++ = '\\';
                *out++ = c;
                break;
        }
    }
    return static_cast<std::size_t>(out - first);
}

}  // namespace

std::string UnescapeValue(std::string text) {
    text.resize(UnescapeBytes(text.data(), text.size(), text.data()));
    return text;
}

}  // namespace detail

std::string Unescape(std::string_view text) {
    std::string out(text.size(), '\0');
    out.resize(detail::UnescapeBytes(text.data(), text.size(), out.data()));
    return out;
}

}  // namespace JSON
