// The POSIX registry store: one text file per view, in the registry export format (see
// registry.h for the layout, the locking and the caching rules).
#include "platform/registry.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <map>
#include <mutex>
#include <optional>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <utility>

#include "platform/os_info.h"
#include "platform/path.h"
#include "platform/posix/unique_fd.h"
#include "platform/sys_error.h"

namespace platform {
namespace {

using posix::UniqueFd;

// Error numbers of the registry that the shared table does not name.
constexpr std::uint32_t kInvalidData = 13;
constexpr std::uint32_t kKeyDeleted = 1018;

constexpr std::string_view kHeader = "Windows Registry Editor Version 5.00";
constexpr std::string_view kRootName = "HKEY_LOCAL_MACHINE";
constexpr const char* kDefaultLocation = "/var/lib/vantaro-launcher/registry";

// Value types, numbered as the registry numbers them.
constexpr std::uint32_t kTypeString = 1;
constexpr std::uint32_t kTypeExpandString = 2;
constexpr std::uint32_t kTypeBinary = 3;

// ---------------------------------------------------------------------------------------------
// Names

char FoldChar(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string Fold(std::string_view text) {
    std::string folded(text);
    for (char& c : folded) {
        c = FoldChar(c);
    }
    return folded;
}

bool SameName(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (FoldChar(a[i]) != FoldChar(b[i])) {
            return false;
        }
    }
    return true;
}

bool HasLineBreak(std::string_view text) {
    return text.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

// SplitKeyPath splits "A\B\C" into its names; false for an empty name inside the path.
bool SplitKeyPath(std::string_view path, std::vector<std::string>& names) {
    names.clear();
    if (path.empty()) {
        return true;
    }
    std::size_t start = 0;
    while (true) {
        const std::size_t end = path.find('\\', start);
        const std::string_view name = path.substr(start, end - start);
        if (name.empty() || HasLineBreak(name)) {
            return false;
        }
        names.emplace_back(name);
        if (end == std::string_view::npos) {
            return true;
        }
        start = end + 1;
    }
}

// FoldKeyPath checks a key path as SplitKeyPath does and folds it in one pass.
bool FoldKeyPath(std::string_view path, std::string& folded) {
    folded.assign(path);
    bool nameStarted = false;
    for (char& c : folded) {
        if (c == '\\') {
            if (!nameStarted) {
                return false;
            }
            nameStarted = false;
        } else if (c == '\r' || c == '\n' || c == '\0') {
            return false;
        } else {
            c = FoldChar(c);
            nameStarted = true;
        }
    }
    return folded.empty() || nameStarted;
}

std::string FoldedPath(const std::vector<std::string>& names) {
    std::string path;
    for (const auto& name : names) {
        if (!path.empty()) {
            path += '\\';
        }
        path += Fold(name);
    }
    return path;
}

// ---------------------------------------------------------------------------------------------
// UTF-16LE, for the hex(1) and hex(2) forms of strings and for files saved in UTF-16.

void AppendUtf8(std::string& out, std::uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

std::string Utf16LeToUtf8(std::string_view bytes) {
    std::string out;
    std::size_t i = 0;
    auto unit = [&](std::size_t at) {
        return static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at])) |
               (static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at + 1])) << 8);
    };
    while (i + 1 < bytes.size()) {
        std::uint32_t cp = unit(i);
        i += 2;
        if (cp >= 0xD800 && cp < 0xDC00 && i + 1 < bytes.size()) {
            const std::uint32_t low = unit(i);
            if (low >= 0xDC00 && low < 0xE000) {
                cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                i += 2;
            }
        }
        AppendUtf8(out, (cp >= 0xD800 && cp < 0xE000) ? 0xFFFD : cp);
    }
    return out;
}

// NextCodePoint decodes one UTF-8 sequence; a broken one gives U+FFFD and moves one byte.
std::uint32_t NextCodePoint(std::string_view text, std::size_t& i) {
    const auto byte = [&](std::size_t at) { return static_cast<unsigned char>(text[at]); };
    const unsigned char lead = byte(i);
    std::size_t length = lead < 0x80         ? 1
                         : (lead >> 5) == 6  ? 2
                         : (lead >> 4) == 14 ? 3
                         : (lead >> 3) == 30 ? 4
                                             : 0;
    if (length == 0 || i + length > text.size()) {
        ++i;
        return 0xFFFD;
    }
    std::uint32_t cp = length == 1 ? lead : (lead & (0x7F >> length));
    for (std::size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) {
            ++i;
            return 0xFFFD;
        }
        cp = (cp << 6) | (byte(i + k) & 0x3F);
    }
    i += length;
    return cp;
}

std::string Utf8ToUtf16Le(std::string_view text) {
    std::string out;
    auto put = [&out](std::uint32_t u) {
        out += static_cast<char>(u & 0xFF);
        out += static_cast<char>(u >> 8);
    };
    for (std::size_t i = 0; i < text.size();) {
        const std::uint32_t cp = NextCodePoint(text, i);
        if (cp >= 0x10000) {
            put(0xD800 + ((cp - 0x10000) >> 10));
            put(0xDC00 + ((cp - 0x10000) & 0x3FF));
        } else {
            put(cp);
        }
    }
    return out;
}

// ---------------------------------------------------------------------------------------------
// The parsed store

struct RegValue {
    std::string name;
    std::uint32_t type = kTypeString;
    std::string text;  // strings: the text; other types: the data as written after '='
};

struct RegNode {
    std::string name;
    RegNode* parent = nullptr;
    std::vector<RegValue> values;
    std::vector<std::unique_ptr<RegNode>> children;

    RegValue* FindValue(std::string_view valueName) {
        for (auto& value : values) {
            if (SameName(value.name, valueName)) {
                return &value;
            }
        }
        return nullptr;
    }
    const RegValue* FindValue(std::string_view valueName) const {
        return const_cast<RegNode*>(this)->FindValue(valueName);
    }
};

class Store {
  public:
    Store() : root_(std::make_unique<RegNode>()) { index_.emplace("", root_.get()); }

    RegNode& Root() { return *root_; }
    const RegNode& Root() const { return *root_; }

    RegNode* Find(const std::string& foldedPath) const {
        const auto it = index_.find(foldedPath);
        return it == index_.end() ? nullptr : it->second;
    }

    // Ensure returns the key, creating it and the missing keys above it.
    RegNode* Ensure(const std::vector<std::string>& names) {
        RegNode* node = root_.get();
        std::string path;
        for (const auto& name : names) {
            if (!path.empty()) {
                path += '\\';
            }
            path += Fold(name);
            auto [it, added] = index_.try_emplace(path, nullptr);
            if (added) {
                auto child = std::make_unique<RegNode>();
                child->name = name;
                child->parent = node;
                it->second = child.get();
                node->children.push_back(std::move(child));
            }
            node = it->second;
        }
        return node;
    }

    // Remove deletes a key and everything below it; the root cannot be removed.
    void Remove(RegNode* node, const std::string& foldedPath) {
        Unindex(*node, foldedPath);
        auto& siblings = node->parent->children;
        for (auto it = siblings.begin(); it != siblings.end(); ++it) {
            if (it->get() == node) {
                siblings.erase(it);
                break;
            }
        }
    }

  private:
    void Unindex(const RegNode& node, const std::string& foldedPath) {
        index_.erase(foldedPath);
        for (const auto& child : node.children) {
            Unindex(*child, foldedPath + '\\' + Fold(child->name));
        }
    }

    std::unique_ptr<RegNode> root_;
    std::unordered_map<std::string, RegNode*> index_;
};

// ---------------------------------------------------------------------------------------------
// Parsing

RegistryIssueSink& IssueSink() {
    static RegistryIssueSink sink;
    return sink;
}
std::mutex& IssueSinkMutex() {
    static std::mutex mutex;
    return mutex;
}

void Report(const std::string& source, std::size_t line, const std::string& what,
            std::string_view text) {
    RegistryIssueSink sink;
    {
        std::lock_guard<std::mutex> lock(IssueSinkMutex());
        sink = IssueSink();
    }
    if (!sink) {
        return;
    }
    constexpr std::size_t kMaxShown = 200;
    std::string shown(text.substr(0, kMaxShown));
    if (text.size() > kMaxShown) {
        shown += "...";
    }
    sink(RegistryIssue{source, line, what + ": " + shown});
}

std::string_view TrimLeft(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) {
        s.remove_prefix(1);
    }
    return s;
}

std::string_view TrimRight(std::string_view s) {
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) {
        s.remove_suffix(1);
    }
    return s;
}

// StoredString is the form a string value is kept in: it ends at its first NUL, as a reader of
// the string type sees it, and one that must be written as UTF-16 (it holds a line break) is
// made valid UTF-8 first, so that writing and reading it back keeps it as it is.
std::string StoredString(std::string text) {
    const std::size_t nul = text.find('\0');
    if (nul != std::string::npos) {
        text.resize(nul);
    }
    if (HasLineBreak(text)) {
        text = Utf16LeToUtf8(Utf8ToUtf16Le(text));
    }
    return text;
}

// ParseQuoted reads a double-quoted text at the start of s (\\ and \" are the escapes) and
// leaves s after the closing quote; nullopt when it is not terminated or has another escape.
std::optional<std::string> ParseQuoted(std::string_view& s) {
    if (s.empty() || s.front() != '"') {
        return std::nullopt;
    }
    std::string text;
    for (std::size_t i = 1; i < s.size(); ++i) {
        const char c = s[i];
        if (c == '"') {
            s.remove_prefix(i + 1);
            return text;
        }
        if (c == '\\') {
            if (i + 1 >= s.size() || (s[i + 1] != '\\' && s[i + 1] != '"')) {
                return std::nullopt;
            }
            ++i;
        }
        text += s[i];
    }
    return std::nullopt;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    c = FoldChar(c);
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// ParseHexBytes reads "aa,bb,..." (blanks allowed around the commas).
std::optional<std::string> ParseHexBytes(std::string_view s) {
    std::string bytes;
    s = TrimLeft(TrimRight(s));
    while (!s.empty()) {
        if (s.size() < 2 || HexDigit(s[0]) < 0 || HexDigit(s[1]) < 0) {
            return std::nullopt;
        }
        bytes += static_cast<char>(HexDigit(s[0]) * 16 + HexDigit(s[1]));
        s = TrimLeft(s.substr(2));
        if (s.empty()) {
            break;
        }
        if (s.front() != ',') {
            return std::nullopt;
        }
        s = TrimLeft(s.substr(1));
        if (s.empty()) {
            return std::nullopt;
        }
    }
    return bytes;
}

std::string FormatHexBytes(std::string_view bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 3);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const auto b = static_cast<unsigned char>(bytes[i]);
        if (i != 0) {
            out += ',';
        }
        out += kDigits[b >> 4];
        out += kDigits[b & 0xF];
    }
    return out;
}

std::string HexPrefix(std::uint32_t type) {
    if (type == kTypeBinary) {
        return "hex:";
    }
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string digits;
    do {
        digits.insert(digits.begin(), kDigits[type & 0xF]);
        type >>= 4;
    } while (type != 0);
    return "hex(" + digits + "):";
}

// ParseData reads what follows '=' into value; the error text when it cannot.
std::optional<std::string> ParseData(std::string_view data, RegValue& value) {
    if (!data.empty() && data.front() == '"') {
        auto text = ParseQuoted(data);
        if (!text) {
            return "string not terminated or with an unknown escape";
        }
        if (!TrimRight(data).empty()) {
            return "text after the closing quote";
        }
        value.type = kTypeString;
        value.text = StoredString(std::move(*text));
        return std::nullopt;
    }
    if (data.starts_with("dword:")) {
        const std::string_view digits = TrimRight(data.substr(6));
        for (char c : digits) {
            if (HexDigit(c) < 0) {
                return "dword value is not hexadecimal";
            }
        }
        if (digits.empty() || digits.size() > 8) {
            return "dword value needs 1 to 8 hexadecimal digits";
        }
        value.type = 4;
        value.text = "dword:" + Fold(digits);
        return std::nullopt;
    }
    if (data.starts_with("hex")) {
        std::uint32_t type = kTypeBinary;
        std::string_view rest = data.substr(3);
        if (!rest.empty() && rest.front() == '(') {
            const std::size_t close = rest.find(')');
            if (close == std::string_view::npos || close < 2 || close > 9) {
                return "bad hex(type)";
            }
            type = 0;
            for (char c : rest.substr(1, close - 1)) {
                if (HexDigit(c) < 0) {
                    return "bad hex(type)";
                }
                type = type * 16 + static_cast<std::uint32_t>(HexDigit(c));
            }
            rest = rest.substr(close + 1);
        }
        if (rest.empty() || rest.front() != ':') {
            return "unknown value type";
        }
        auto bytes = ParseHexBytes(rest.substr(1));
        if (!bytes) {
            return "bad hexadecimal bytes";
        }
        value.type = type;
        if (type == kTypeString || type == kTypeExpandString) {
            value.text = StoredString(Utf16LeToUtf8(*bytes));
        } else {
            value.text = HexPrefix(type) + FormatHexBytes(*bytes);
        }
        return std::nullopt;
    }
    if (data == "-") {
        return "value deletion is not allowed in the store";
    }
    return "unknown value type";
}

class Parser {
  public:
    Parser(std::string_view text, std::string source, Store& store)
        : text_(text), source_(std::move(source)), store_(store) {}

    void Run() {
        bool headerSeen = false;
        std::string_view raw;
        while (NextLine(raw)) {
            const std::string_view line = TrimLeft(TrimRight(raw));
            if (line.empty() || line.front() == ';') {
                continue;
            }
            if (!headerSeen) {
                headerSeen = true;
                if (line == kHeader) {
                    continue;
                }
                Report(source_, lineNumber_, "missing \"" + std::string(kHeader) + "\" line", line);
                if (line.front() != '[') {
                    continue;
                }
            }
            if (line.front() == '[') {
                Section(line);
            } else if (line.front() == '"' || line.front() == '@') {
                Value(line);
            } else {
                Report(source_, lineNumber_, "not a key, a value or a comment", line);
            }
        }
    }

  private:
    bool NextLine(std::string_view& line) {
        if (pos_ >= text_.size()) {
            return false;
        }
        const std::size_t end = text_.find('\n', pos_);
        line = text_.substr(pos_, end == std::string_view::npos ? end : end - pos_);
        pos_ = end == std::string_view::npos ? text_.size() : end + 1;
        ++lineNumber_;
        return true;
    }

    void Section(std::string_view line) {
        current_ = nullptr;
        skipping_ = true;
        if (line.back() != ']' || line.size() < 2) {
            Report(source_, lineNumber_, "key line without closing bracket", line);
            return;
        }
        const std::string_view path = line.substr(1, line.size() - 2);
        if (!path.empty() && path.front() == '-') {
            Report(source_, lineNumber_, "key deletion is not allowed in the store", line);
            return;
        }
        const std::size_t cut = path.find('\\');
        if (!SameName(path.substr(0, cut), kRootName)) {
            Report(source_, lineNumber_, "key outside HKEY_LOCAL_MACHINE", line);
            return;
        }
        std::vector<std::string> names;
        if (cut != std::string_view::npos &&
            (!SplitKeyPath(path.substr(cut + 1), names) || names.empty())) {
            Report(source_, lineNumber_, "empty key name", line);
            return;
        }
        current_ = store_.Ensure(names);
        skipping_ = false;
    }

    void Value(std::string_view line) {
        const std::size_t firstLine = lineNumber_;
        RegValue value;
        std::string_view rest = line;
        bool named = true;
        if (rest.front() == '@') {
            rest.remove_prefix(1);
        } else if (auto name = ParseQuoted(rest)) {
            value.name = std::move(*name);
        } else {
            named = false;
        }
        // Hexadecimal data may go on over lines that end with a backslash.
        std::string joined;
        if (named && rest.starts_with("=hex") && rest.back() == '\\') {
            joined.assign(rest.substr(0, rest.size() - 1));
            std::string_view next;
            bool more = true;
            while (more && NextLine(next)) {
                next = TrimLeft(TrimRight(next));
                more = !next.empty() && next.back() == '\\';
                joined.append(more ? next.substr(0, next.size() - 1) : next);
            }
            rest = joined;
        }
        if (current_ == nullptr) {
            if (!skipping_) {
                Report(source_, firstLine, "value before the first key", line);
            }
            return;
        }
        if (!named) {
            Report(source_, firstLine, "value name not terminated or with an unknown escape", line);
            return;
        }
        if (rest.empty() || rest.front() != '=') {
            Report(source_, firstLine, "no '=' after the value name", line);
            return;
        }
        if (auto error = ParseData(rest.substr(1), value)) {
            Report(source_, firstLine, *error, line);
            return;
        }
        if (RegValue* existing = current_->FindValue(value.name)) {
            *existing = std::move(value);
        } else {
            current_->values.push_back(std::move(value));
        }
    }

    std::string_view text_;
    std::string source_;
    Store& store_;
    std::size_t pos_ = 0;
    std::size_t lineNumber_ = 0;
    RegNode* current_ = nullptr;
    bool skipping_ = false;  // the values of a rejected key are dropped with it
};

std::unique_ptr<Store> ParseStore(std::string_view text, const std::string& source) {
    std::string converted;
    if (text.starts_with("\xEF\xBB\xBF")) {
        text.remove_prefix(3);
    } else if (text.starts_with("\xFF\xFE")) {
        converted = Utf16LeToUtf8(text.substr(2));
        text = converted;
    }
    auto store = std::make_unique<Store>();
    Parser(text, source, *store).Run();
    return store;
}

// ---------------------------------------------------------------------------------------------
// Writing

std::string Escape(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 2);
    for (char c : text) {
        if (c == '\\' || c == '"') {
            out += '\\';
        }
        out += c;
    }
    return out;
}

void WriteValue(std::string& out, const RegValue& value) {
    out += value.name.empty() ? std::string("@") : '"' + Escape(value.name) + '"';
    out += '=';
    if (value.type == kTypeString && !HasLineBreak(value.text)) {
        out += '"' + Escape(value.text) + '"';
    } else if (value.type == kTypeString || value.type == kTypeExpandString) {
        out += value.type == kTypeString ? "hex(1):" : "hex(2):";
        out += FormatHexBytes(Utf8ToUtf16Le(value.text) + std::string(2, '\0'));
    } else {
        out += value.text;
    }
    out += '\n';
}

void WriteSection(std::string& out, const std::string& path, const std::vector<RegValue>& values) {
    out += '[' + path + "]\n";
    for (const auto& value : values) {
        WriteValue(out, value);
    }
    out += '\n';
}

void WriteKey(std::string& out, const RegNode& node, const std::string& path) {
    WriteSection(out, path, node.values);
    for (const auto& child : node.children) {
        WriteKey(out, *child, path + '\\' + child->name);
    }
}

std::string Serialize(const Store& store) {
    std::string out(kHeader);
    out += "\n\n";
    const RegNode& root = store.Root();
    if (!root.values.empty()) {
        WriteSection(out, std::string(kRootName), root.values);
    }
    for (const auto& child : root.children) {
        WriteKey(out, *child, std::string(kRootName) + '\\' + child->name);
    }
    return out;
}

// ---------------------------------------------------------------------------------------------
// Files

std::uint32_t LastErrno() {
    return ErrorFromErrno(errno);
}

struct FileIdentity {
    bool exists = false;
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = 0;
    timespec mtime{};
    timespec ctime{};

    static FileIdentity Of(const struct stat& st) {
        return FileIdentity{true, st.st_dev, st.st_ino, st.st_size, st.st_mtim, st.st_ctim};
    }
    bool operator==(const FileIdentity& o) const {
        return exists == o.exists && dev == o.dev && ino == o.ino && size == o.size &&
               mtime.tv_sec == o.mtime.tv_sec && mtime.tv_nsec == o.mtime.tv_nsec &&
               ctime.tv_sec == o.ctime.tv_sec && ctime.tv_nsec == o.ctime.tv_nsec;
    }
};

std::uint32_t ReadAll(int fd, std::size_t sizeHint, std::string& text) {
    text.clear();
    text.reserve(sizeHint);
    char buffer[65536];
    while (true) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return LastErrno();
        }
        if (n == 0) {
            return SysError::SUCCESS;
        }
        text.append(buffer, static_cast<std::size_t>(n));
    }
}

// ReadStoreFile parses the file; a missing file is an empty store.
std::uint32_t ReadStoreFile(const std::string& file, std::unique_ptr<Store>& store,
                            FileIdentity& identity) {
    UniqueFd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.Valid()) {
        if (errno != ENOENT) {
            return LastErrno();
        }
        identity = FileIdentity{};
        store = std::make_unique<Store>();
        return SysError::SUCCESS;
    }
    struct stat st {};
    if (::fstat(fd.Get(), &st) != 0) {
        return LastErrno();
    }
    std::string text;
    if (const auto rc = ReadAll(fd.Get(), static_cast<std::size_t>(st.st_size), text); rc != 0) {
        return rc;
    }
    identity = FileIdentity::Of(st);
    store = ParseStore(text, file);
    return SysError::SUCCESS;
}

struct CacheEntry {
    FileIdentity identity;
    std::shared_ptr<const Store> store;
};

std::mutex& CacheMutex() {
    static std::mutex mutex;
    return mutex;
}
std::map<std::string, CacheEntry>& Cache() {
    static std::map<std::string, CacheEntry> cache;
    return cache;
}

// The versions that the calling thread's RegistrySnapshot objects pin, by file.
struct PinnedVersions {
    int depth = 0;
    std::map<std::string, std::shared_ptr<const Store>> stores;
};
PinnedVersions& Pinned() {
    thread_local PinnedVersions pinned;
    return pinned;
}

std::uint32_t LoadCurrent(const std::string& file, std::shared_ptr<const Store>& snapshot);

// LoadSnapshot gives the version that the thread pinned, or else the current one.
std::uint32_t LoadSnapshot(const std::string& file, std::shared_ptr<const Store>& snapshot) {
    PinnedVersions& pinned = Pinned();
    if (pinned.depth == 0) {
        return LoadCurrent(file, snapshot);
    }
    if (const auto it = pinned.stores.find(file); it != pinned.stores.end()) {
        snapshot = it->second;
        return SysError::SUCCESS;
    }
    const auto rc = LoadCurrent(file, snapshot);
    if (rc == SysError::SUCCESS) {
        pinned.stores.emplace(file, snapshot);
    }
    return rc;
}

// LoadCurrent gives the parsed file, parsing it again only when it changed. The cache lock is
// held while parsing so that each issue of a file version is reported once.
std::uint32_t LoadCurrent(const std::string& file, std::shared_ptr<const Store>& snapshot) {
    FileIdentity current;
    struct stat st {};
    if (::stat(file.c_str(), &st) == 0) {
        current = FileIdentity::Of(st);
    } else if (errno != ENOENT) {
        return LastErrno();
    }
    std::lock_guard<std::mutex> lock(CacheMutex());
    auto& cache = Cache();
    const auto it = cache.find(file);
    if (it != cache.end() && it->second.identity == current) {
        snapshot = it->second.store;
        return SysError::SUCCESS;
    }
    std::unique_ptr<Store> store;
    FileIdentity identity;
    if (const auto rc = ReadStoreFile(file, store, identity); rc != 0) {
        return rc;
    }
    snapshot = std::shared_ptr<const Store>(std::move(store));
    cache[file] = CacheEntry{identity, snapshot};
    return SysError::SUCCESS;
}

// ForgetSnapshot drops the cached and pinned versions of a file that this process rewrote.
void ForgetSnapshot(const std::string& file) {
    Pinned().stores.erase(file);
    std::lock_guard<std::mutex> lock(CacheMutex());
    Cache().erase(file);
}

std::uint32_t MakeFolders(const std::string& folder) {
    std::string path;
    std::size_t start = 0;
    while (start <= folder.size()) {
        std::size_t end = folder.find('/', start);
        if (end == std::string::npos) {
            end = folder.size();
        }
        path = folder.substr(0, end);
        start = end + 1;
        if (path.empty()) {
            continue;
        }
        if (::mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) {
            return LastErrno();
        }
    }
    return SysError::SUCCESS;
}

std::uint32_t WriteAll(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t n = ::write(fd, text.data(), text.size());
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return LastErrno();
        }
        text.remove_prefix(static_cast<std::size_t>(n));
    }
    return SysError::SUCCESS;
}

// ReplaceFile writes the text to a temporary file beside the target and renames it over the
// target, so that readers see the old or the new file, never a part of one.
std::uint32_t ReplaceFile(const std::string& folder, const std::string& file,
                          std::string_view text) {
    std::string temp = folder + "/.store.XXXXXX";
    UniqueFd fd(::mkostemp(temp.data(), O_CLOEXEC));
    if (!fd.Valid()) {
        return LastErrno();
    }
    std::uint32_t rc = SysError::SUCCESS;
    if (::fchmod(fd.Get(), 0644) != 0 || (rc = WriteAll(fd.Get(), text)) != 0 ||
        ::fsync(fd.Get()) != 0 || ::close(fd.Release()) != 0 ||
        ::rename(temp.c_str(), file.c_str()) != 0) {
        rc = rc != 0 ? rc : LastErrno();
        ::unlink(temp.c_str());
        return rc;
    }
    SyncToDisk(folder);
    return SysError::SUCCESS;
}

struct ViewFile {
    std::string folder;
    std::string file;
};

std::mutex& LocationMutex() {
    static std::mutex mutex;
    return mutex;
}
std::string& LocationOverride() {
    static std::string folder;
    return folder;
}

ViewFile FileOfView(RegistryView view) {
    const bool use32 = view == RegistryView::Force32 || !Is64BitOs();
    ViewFile result{RegistryLocation(), std::string()};
    result.file = result.folder + (use32 ? "/HKLM32.reg" : "/HKLM64.reg");
    return result;
}

// WriterLockWait bounds the wait for the writers' lock: QVYLD_REGISTRY_LOCK_WAIT_MS (tests),
// else 10 seconds. A writer holds it for the few milliseconds of one rewrite.
std::chrono::milliseconds WriterLockWait() {
    const char* forced = std::getenv("QVYLD_REGISTRY_LOCK_WAIT_MS");
    if (forced != nullptr && *forced != '\0') {
        return std::chrono::milliseconds(std::strtol(forced, nullptr, 10));
    }
    return std::chrono::seconds(10);
}

// LockWriters takes the writers' lock on path. The file is readable by its owner only (an
// older one is narrowed), so that no other user can open it and hold the lock; a symbolic
// link or a file of another user is refused with ACCESS_DENIED. A lock still held after the
// wait gives WAIT_TIMED_OUT.
std::uint32_t LockWriters(const std::string& path, UniqueFd& lock) {
    lock.Reset(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!lock.Valid()) {
        return errno == ELOOP ? SysError::ACCESS_DENIED : LastErrno();
    }
    struct stat info {};
    if (::fstat(lock.Get(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != ::geteuid()) {
        lock.Reset();
        return SysError::ACCESS_DENIED;
    }
    if ((info.st_mode & 077) != 0 && ::fchmod(lock.Get(), 0600) != 0) {
        return LastErrno();
    }
    const auto deadline = std::chrono::steady_clock::now() + WriterLockWait();
    while (::flock(lock.Get(), LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK && errno != EINTR) {
            return LastErrno();
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return SysError::WAIT_TIMED_OUT;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return SysError::SUCCESS;
}

// Mutate applies a change to the file of a view under the writers' lock; the file is written
// only when the change succeeds.
template <typename Change>
std::uint32_t Mutate(RegistryView view, Change&& change) {
    const ViewFile where = FileOfView(view);
    if (const auto rc = MakeFolders(where.folder); rc != 0) {
        return rc;
    }
    UniqueFd lock;
    if (const auto rc = LockWriters(where.file + ".lock", lock); rc != 0) {
        return rc;
    }
    std::unique_ptr<Store> store;
    FileIdentity identity;
    if (const auto rc = ReadStoreFile(where.file, store, identity); rc != 0) {
        return rc;
    }
    if (const std::uint32_t rc = change(*store); rc != 0) {
        return rc;
    }
    const auto rc = ReplaceFile(where.folder, where.file, Serialize(*store));
    ForgetSnapshot(where.file);
    return rc;
}

}  // namespace

// -------------------------------------------------------------------------------------------------
// The port

struct RegistryKey::Impl {
    RegistryView view = RegistryView::Native;
    RegistryAccess access = RegistryAccess::Read;
    std::string path;  // folded
    std::shared_ptr<const Store> snapshot;
    const RegNode* node = nullptr;

    std::uint32_t Refresh() {
        const auto rc = LoadSnapshot(FileOfView(view).file, snapshot);
        if (rc != 0) {
            return rc;
        }
        node = snapshot->Find(path);
        return node == nullptr ? kKeyDeleted : SysError::SUCCESS;
    }

    template <typename Change>
    std::uint32_t Write(Change&& change) {
        if (access != RegistryAccess::ReadWrite) {
            return SysError::ACCESS_DENIED;
        }
        const auto rc = Mutate(view, [&](Store& store) -> std::uint32_t {
            RegNode* target = store.Find(path);
            return target == nullptr ? kKeyDeleted : change(*target);
        });
        const auto refreshed = Refresh();
        return rc != 0 ? rc : refreshed;
    }
};

RegistryKey::RegistryKey() = default;
RegistryKey::RegistryKey(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
RegistryKey::~RegistryKey() = default;
RegistryKey::RegistryKey(RegistryKey&&) noexcept = default;
RegistryKey& RegistryKey::operator=(RegistryKey&&) noexcept = default;

std::uint32_t RegistryKey::EnumSubkeys(std::vector<std::string>& names) const {
    names.clear();
    if (!impl_) {
        return SysError::INVALID_HANDLE;
    }
    for (const auto& child : impl_->node->children) {
        names.push_back(child->name);
    }
    return SysError::SUCCESS;
}

std::uint32_t RegistryKey::EnumValues(std::vector<std::string>& names) const {
    names.clear();
    if (!impl_) {
        return SysError::INVALID_HANDLE;
    }
    for (const auto& value : impl_->node->values) {
        names.push_back(value.name);
    }
    return SysError::SUCCESS;
}

std::uint32_t RegistryKey::QueryString(const std::string& name, std::string& value) const {
    if (!impl_) {
        return SysError::INVALID_HANDLE;
    }
    const RegValue* found = impl_->node->FindValue(name);
    if (found == nullptr) {
        return SysError::FILE_NOT_FOUND;
    }
    if (found->type != kTypeString && found->type != kTypeExpandString) {
        return kInvalidData;
    }
    value = found->text;
    return SysError::SUCCESS;
}

std::uint32_t RegistryKey::SetString(const std::string& name, const std::string& value) {
    if (!impl_) {
        return SysError::INVALID_HANDLE;
    }
    if (HasLineBreak(name)) {
        return SysError::INVALID_PARAMETER;
    }
    return impl_->Write([&](RegNode& node) -> std::uint32_t {
        RegValue* existing = node.FindValue(name);
        if (existing == nullptr) {
            node.values.push_back(RegValue{name, kTypeString, StoredString(value)});
        } else {
            existing->type = kTypeString;
            existing->text = StoredString(value);
        }
        return SysError::SUCCESS;
    });
}

std::uint32_t RegistryKey::DeleteValue(const std::string& name) {
    if (!impl_) {
        return SysError::INVALID_HANDLE;
    }
    return impl_->Write([&](RegNode& node) -> std::uint32_t {
        for (auto it = node.values.begin(); it != node.values.end(); ++it) {
            if (SameName(it->name, name)) {
                node.values.erase(it);
                return SysError::SUCCESS;
            }
        }
        return SysError::FILE_NOT_FOUND;
    });
}

std::uint32_t RegistryKey::Close() {
    if (!impl_) {
        return SysError::INVALID_HANDLE;
    }
    impl_.reset();
    return SysError::SUCCESS;
}

RegistrySnapshot::RegistrySnapshot() {
    ++Pinned().depth;
}

RegistrySnapshot::~RegistrySnapshot() {
    PinnedVersions& pinned = Pinned();
    if (--pinned.depth == 0) {
        pinned.stores.clear();
    }
}

std::uint32_t OpenRegistryKey(RegistryRoot root, const std::string& path, RegistryView view,
                              RegistryAccess access, RegistryKey& key) {
    key = RegistryKey();
    auto impl = std::make_unique<RegistryKey::Impl>();
    if (root != RegistryRoot::LocalMachine || !FoldKeyPath(path, impl->path)) {
        return SysError::INVALID_PARAMETER;
    }
    impl->view = view;
    impl->access = access;
    if (const auto rc = impl->Refresh(); rc != 0) {
        return rc == kKeyDeleted ? SysError::FILE_NOT_FOUND : rc;
    }
    key = RegistryKey(std::move(impl));
    return SysError::SUCCESS;
}

std::uint32_t CreateRegistryKey(RegistryRoot root, const std::string& path, RegistryView view,
                                RegistryKey& key) {
    key = RegistryKey();
    std::vector<std::string> names;
    if (root != RegistryRoot::LocalMachine || !SplitKeyPath(path, names)) {
        return SysError::INVALID_PARAMETER;
    }
    auto rc = Mutate(view, [&](Store& store) -> std::uint32_t {
        store.Ensure(names);
        return SysError::SUCCESS;
    });
    if (rc == 0) {
        rc = OpenRegistryKey(root, path, view, RegistryAccess::ReadWrite, key);
    }
    return rc;
}

std::uint32_t DeleteRegistryKey(RegistryRoot root, const std::string& path, RegistryView view) {
    std::vector<std::string> names;
    if (root != RegistryRoot::LocalMachine || !SplitKeyPath(path, names) || names.empty()) {
        return SysError::INVALID_PARAMETER;
    }
    const std::string folded = FoldedPath(names);
    return Mutate(view, [&](Store& store) -> std::uint32_t {
        RegNode* node = store.Find(folded);
        if (node == nullptr) {
            return SysError::FILE_NOT_FOUND;
        }
        store.Remove(node, folded);
        return SysError::SUCCESS;
    });
}

void SetRegistryIssueSink(RegistryIssueSink sink) {
    std::lock_guard<std::mutex> lock(IssueSinkMutex());
    IssueSink() = std::move(sink);
}

std::string RegistryLocation() {
    {
        std::lock_guard<std::mutex> lock(LocationMutex());
        if (!LocationOverride().empty()) {
            return LocationOverride();
        }
    }
    const char* fromEnvironment = std::getenv("QVYLD_REGISTRY_ROOT");
    if (fromEnvironment != nullptr && *fromEnvironment != '\0') {
        return fromEnvironment;
    }
    return kDefaultLocation;
}

bool SetRegistryLocation(const std::string& folder) {
    std::lock_guard<std::mutex> lock(LocationMutex());
    LocationOverride() = folder;
    return true;
}

}  // namespace platform
