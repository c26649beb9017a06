// JSONDocument: a tree built step by step through a stack of open containers; the parser
// drives it through Add and End.
#include <istream>

#include "base/json/json.h"
#include "base/json/parser_support.h"

namespace JSON {
namespace {

// IsEmptyContainer tells whether an item becomes the open container once stored.
bool IsEmptyContainer(const JSONItem& item) {
    // The type test first spares the checked casts for the many scalars.
    return (item.IsObject() || item.IsArray()) && (item.AsObject() || item.AsArray()) &&
           item.Size() == 0;
}

// Only items whose class was checked are ever pushed, so for an open container the type
// alone tells the class; these skip the checked casts on the parser's path.
JSONObject* OpenObject(JSONItem* open) {
    return open->IsObject() ? static_cast<JSONObject*>(open) : nullptr;
}

JSONArray* OpenArray(JSONItem* open) {
    return open->IsArray() ? static_cast<JSONArray*>(open) : nullptr;
}

// Store puts the item in the open container and opens it in turn if it is an empty
// container, so that what follows fills it.
void Store(std::deque<JSONItem*>& open, JSONObject& object, std::string&& key, ItemPtr item) {
    JSONItem* stored = item.get();
    const bool opens = IsEmptyContainer(*stored);
    object.Set(std::move(key), std::move(item));
    if (opens) {
        open.push_back(stored);
    }
}

void Store(std::deque<JSONItem*>& open, JSONArray& array, ItemPtr item) {
    JSONItem* stored = item.get();
    const bool opens = IsEmptyContainer(*stored);
    array.Add(std::move(item));
    if (opens) {
        open.push_back(stored);
    }
}

}  // namespace

JSONDocument::~JSONDocument() = default;

void JSONDocument::Clear() {
    open_.clear();
    pendingKey_.clear();
    root_.reset();
}

void JSONDocument::NewObject() {
    SetRoot(CreateObject());
}

void JSONDocument::NewArray() {
    SetRoot(CreateArray());
}

bool JSONDocument::SetRoot(ItemPtr item) {
    if (!item || !(item->AsObject() || item->AsArray())) {
        return false;
    }
    Clear();
    root_ = std::move(item);
    open_.push_back(root_.get());
    return true;
}

bool JSONDocument::Set(std::string key, ItemPtr item) {
    if (open_.empty() || !item) {
        return false;
    }
    JSONObject* object = OpenObject(open_.back());
    if (!object) {
        return false;
    }
    Store(open_, *object, std::move(key), std::move(item));
    return true;
}

bool JSONDocument::Set(const std::u16string& key, ItemPtr item) {
    // The conversion goes through a string item, which holds the UTF-8 form of the key.
    ItemPtr converted = CreateString(key, false);
    if (!converted) {
        return false;
    }
    return Set(converted->GetString(), std::move(item));
}

bool JSONDocument::Append(ItemPtr item) {
    if (open_.empty() || !item) {
        return false;
    }
    JSONArray* array = OpenArray(open_.back());
    if (!array) {
        return false;
    }
    Store(open_, *array, std::move(item));
    return true;
}

bool JSONDocument::Add(ItemPtr item) {
    if (!item) {
        return false;
    }
    if (open_.empty()) {
        // Only a container can start a tree; it replaces whatever root there was.
        if (!(item->AsObject() || item->AsArray())) {
            return false;
        }
        root_ = std::move(item);
        open_.push_back(root_.get());
        return true;
    }
    JSONItem* top = open_.back();
    if (JSONObject* object = OpenObject(top)) {
        // An empty pending key counts as no key: the item has nowhere to go.
        if (pendingKey_.empty()) {
            return false;
        }
        Store(open_, *object, std::move(pendingKey_), std::move(item));
        pendingKey_.clear();
        return true;
    }
    if (JSONArray* array = OpenArray(top)) {
        Store(open_, *array, std::move(item));
        return true;
    }
    return false;
}

void JSONDocument::End() {
    if (!open_.empty()) {
        open_.pop_back();
    }
}

void JSONDocument::ToString(std::string& out) const {
    out.clear();
    if (root_) {
        root_->Print(out);
    }
}

std::string JSONDocument::ToString() const {
    std::string out;
    ToString(out);
    return out;
}

ItemPtr JSONDocument::Release() {
    // The open containers belong to the tree that leaves with the caller.
    open_.clear();
    pendingKey_.clear();
    return std::move(root_);
}

int JSONDocument::Parse(std::string_view text) {
    Clear();
    const int result = detail::RunParser(*this, text, nullptr);
    if (result != 0) {
        Clear();
    }
    return result;
}

int JSONDocument::Parse(std::istream& in) {
    Clear();
    const int result = detail::RunParser(*this, {}, &in);
    if (result != 0) {
        Clear();
    }
    return result;
}

}  // namespace JSON
