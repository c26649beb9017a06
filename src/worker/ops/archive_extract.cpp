#include "worker/ops/archive_extract.h"

#include <archive.h>
#include <archive_entry.h>

#include <cerrno>
#include <deque>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <system_error>
#include <vector>

#include "base/log_text.h"
#include "base/logger.h"
#include "session/operations_as_user_web.h"
#include "worker/ops/disk_space.h"
#include "worker/ops/path_text.h"

namespace WorkerOps {

namespace {

namespace Codes = WebOperationCodes;
namespace fs = std::filesystem;

constexpr const char* kTag = "[ArchiveExtract::Extract]";
constexpr std::size_t kReadBlock = 1 << 20;
constexpr std::uint64_t kDiskBlock = 4096;

struct ReaderDeleter {
    void operator()(archive* reader) const { archive_read_free(reader); }
};
struct WriterDeleter {
    void operator()(archive* writer) const { archive_write_free(writer); }
};
using ReaderPtr = std::unique_ptr<archive, ReaderDeleter>;
using WriterPtr = std::unique_ptr<archive, WriterDeleter>;

// Components splits an entry path at either separator, dropping empty and "." parts.
std::vector<std::string> Components(const std::string& path) {
    std::vector<std::string> parts;
    std::string part;
    for (const char c : path + "/") {
        if (c == '/' || c == '\\') {
            if (!part.empty() && part != ".") {
                parts.push_back(part);
            }
            part.clear();
        } else {
            part += c;
        }
    }
    return parts;
}

std::string Joined(const std::vector<std::string>& parts, std::size_t count) {
    std::string text;
    for (std::size_t i = 0; i < count; ++i) {
        if (i != 0) {
            text += '/';
        }
        text += parts[i];
    }
    return text;
}

// LinkMap is what the survey learns of the archive's links: the target text of each link,
// and every path the archive writes, by its joined components.
struct LinkMap {
    std::map<std::string, std::string> targets;
    std::set<std::string> written;
};

bool IsAbsoluteText(const std::string& path) {
    return path.empty() || path[0] == '/' || path[0] == '\\' || (path.size() > 1 && path[1] == ':');
}

// kMaxLinkHops is the system's own limit of links followed in one path.
constexpr int kMaxLinkHops = 40;

// LinkResolver follows a path inside the unzip folder the way the system will once the
// archive is unpacked: through the archive's links and through links already in the folder.
// It sees a link's text, never trusts it: "s -> ." then "t -> s/.." leaves the folder,
// although each text alone stays inside it.
class LinkResolver {
  public:
    LinkResolver(const fs::path& root, const LinkMap& links) : root_(root), links_(links) {}

    // StaysInside tells whether the link at path, pointing to target, resolves inside the
    // folder, every link on the way followed.
    bool StaysInside(const std::string& path, const std::string& target) const {
        std::vector<std::string> where = Components(path);
        if (!where.empty()) {
            where.pop_back();
        }
        std::deque<std::string> pending;
        if (!Push(target, pending)) {
            return false;
        }
        int hops = 0;
        while (!pending.empty()) {
            const std::string part = pending.front();
            pending.pop_front();
            if (part == "..") {
                if (where.empty()) {
                    return false;
                }
                where.pop_back();
                continue;
            }
            where.push_back(part);
            const std::optional<std::string> next = TargetOf(Joined(where, where.size()));
            if (next) {
                where.pop_back();
                if (++hops > kMaxLinkHops || !Push(*next, pending)) {
                    return false;
                }
            }
        }
        return true;
    }

  private:
    // Push puts a link's target in front of what is left to follow; false for an absolute one.
    static bool Push(const std::string& target, std::deque<std::string>& pending) {
        if (IsAbsoluteText(target)) {
            return false;
        }
        const std::vector<std::string> parts = Components(target);
        pending.insert(pending.begin(), parts.begin(), parts.end());
        return true;
    }

    // TargetOf is the target of the link at a folder-relative path: the archive's entry, or,
    // for a path the archive does not write, a link already in the folder.
    std::optional<std::string> TargetOf(const std::string& relative) const {
        if (const auto it = links_.targets.find(relative); it != links_.targets.end()) {
            return it->second;
        }
        if (links_.written.count(relative) != 0) {
            return std::nullopt;
        }
        std::error_code error;
        const fs::path onDisk = root_ / FsPath(relative);
        if (!fs::is_symlink(fs::symlink_status(onDisk, error))) {
            return std::nullopt;
        }
        const fs::path target = fs::read_symlink(onDisk, error);
        return error ? std::string("/") : PathText(target);
    }

    const fs::path& root_;
    const LinkMap& links_;
};

ReaderPtr OpenReader(const std::string& archivePath) {
    ReaderPtr reader(archive_read_new());
    if (!reader) {
        return nullptr;
    }
    archive_read_support_format_all(reader.get());
    archive_read_support_filter_all(reader.get());
    if (archive_read_open_filename(reader.get(), archivePath.c_str(), kReadBlock) != ARCHIVE_OK) {
        Logger::Error(std::string(kTag) + "cannot open " + archivePath + " : " +
                      archive_error_string(reader.get()));
        return nullptr;
    }
    return reader;
}

std::string EntryPath(archive_entry* entry) {
    const char* path = archive_entry_pathname_utf8(entry);
    if (path == nullptr) {
        path = archive_entry_pathname(entry);
    }
    return path != nullptr ? path : "";
}

// Survey is what the first pass learns: the bytes needed, or why the archive is refused.
struct Survey {
    std::int32_t rc = Codes::kUnzipOk;
    std::uint64_t bytes = 0;
};

// RefuseEntry logs why an entry is refused and gives the survey's verdict.
Survey RefuseEntry(const std::string& archivePath, const std::string& path,
                   const std::string& why) {
    Logger::Error(std::string(kTag) + "refused entry [" + ToolBox::EscapeControls(path) + "]" +
                  ToolBox::EscapeControls(why) + " in " + archivePath);
    Survey survey;
    survey.rc = Codes::kUnzipUnsafeEntry;
    return survey;
}

// CheckLinks refuses a link that leads out of the folder, and an entry written through a
// link of the archive.
Survey CheckLinks(const std::string& archivePath, const fs::path& root,
                  const std::vector<std::string>& paths, const LinkMap& links) {
    const LinkResolver resolver(root, links);
    for (const auto& [path, target] : links.targets) {
        if (!resolver.StaysInside(path, target)) {
            return RefuseEntry(archivePath, path, " -> " + target + " : leads out of the folder");
        }
    }
    for (const std::string& path : paths) {
        const std::vector<std::string> parts = Components(path);
        for (std::size_t count = 1; count < parts.size(); ++count) {
            if (links.targets.count(Joined(parts, count)) != 0) {
                return RefuseEntry(archivePath, path,
                                   " : written through the link " + Joined(parts, count));
            }
        }
    }
    return Survey{};
}

// NoteEntry records an entry's path and, for a link, its target; a hard link to a symbolic
// link of the archive is one more symbolic link with the same target.
void NoteEntry(const std::string& path, const char* hardlink, const char* symlink,
               std::vector<std::string>& paths, LinkMap& links) {
    const std::vector<std::string> parts = Components(path);
    const std::string key = Joined(parts, parts.size());
    paths.push_back(key);
    links.written.insert(key);
    links.targets.erase(key);
    if (symlink != nullptr) {
        links.targets[key] = symlink;
    } else if (hardlink != nullptr) {
        const std::vector<std::string> to = Components(hardlink);
        const auto it = links.targets.find(Joined(to, to.size()));
        if (it != links.targets.end()) {
            links.targets[key] = it->second;
        }
    }
}

Survey SurveyArchive(const std::string& archivePath, const fs::path& root) {
    Survey survey;
    ReaderPtr reader = OpenReader(archivePath);
    if (!reader) {
        survey.rc = Codes::kUnzipUnreadable;
        return survey;
    }
    std::vector<std::string> paths;
    LinkMap links;
    archive_entry* entry = nullptr;
    int status = ARCHIVE_OK;
    while ((status = archive_read_next_header(reader.get(), &entry)) == ARCHIVE_OK ||
           status == ARCHIVE_WARN) {
        const std::string path = EntryPath(entry);
        const char* hardlink = archive_entry_hardlink(entry);
        const char* symlink = archive_entry_symlink(entry);
        if (!ArchiveExtract::IsSafeEntryPath(path) ||
            (hardlink != nullptr && !ArchiveExtract::IsSafeEntryPath(hardlink)) ||
            (symlink != nullptr && IsAbsoluteText(symlink))) {
            return RefuseEntry(archivePath, path,
                               (hardlink ? std::string(" -> ") + hardlink : "") +
                                   (symlink ? std::string(" -> ") + symlink : ""));
        }
        NoteEntry(path, hardlink, symlink, paths, links);
        if (archive_entry_size_is_set(entry) && archive_entry_size(entry) > 0) {
            const auto size = static_cast<std::uint64_t>(archive_entry_size(entry));
            survey.bytes += (size + kDiskBlock - 1) / kDiskBlock * kDiskBlock;
        }
        archive_read_data_skip(reader.get());
    }
    if (status != ARCHIVE_EOF) {
        Logger::Error(std::string(kTag) + "cannot read " + archivePath + " : " +
                      archive_error_string(reader.get()));
        survey.rc = Codes::kUnzipUnreadable;
        return survey;
    }
    const Survey verdict = CheckLinks(archivePath, root, paths, links);
    return verdict.rc != Codes::kUnzipOk ? verdict : survey;
}

// CopyData moves an entry's blocks (holes of sparse entries kept) to the disk writer.
int CopyData(archive* reader, archive* writer) {
    const void* block = nullptr;
    size_t size = 0;
    la_int64_t offset = 0;
    while (true) {
        const int status = archive_read_data_block(reader, &block, &size, &offset);
        if (status == ARCHIVE_EOF) {
            return ARCHIVE_OK;
        }
        if (status < ARCHIVE_WARN) {
            return status;
        }
        // The disk writer reports a failed or short write as a warning: for data, every
        // warning is a failure.
        if (archive_write_data_block(writer, block, size, offset) != ARCHIVE_OK) {
            return ARCHIVE_FATAL;
        }
    }
}

// IsDiskFull tells whether the writer's last failure was a full disk (or quota): the free
// space checked before unpacking can be taken by others while it runs.
bool IsDiskFull(archive* writer) {
    const int error = archive_errno(writer);
    return error == ENOSPC
#ifdef EDQUOT
           || error == EDQUOT
#endif
        ;
}

// WriteFailed logs the entry that could not be written and removes what this unpack put
// into root; a full disk gives kUnzipNoSpace.
std::int32_t WriteFailed(archive* reader, archive* writer, const std::string& archivePath,
                         const std::string& root, const std::string& path,
                         const std::set<std::string>& written) {
    const char* why = archive_error_string(writer);
    const char* readWhy = archive_error_string(reader);
    Logger::Error(std::string(kTag) + "cannot unpack [" + path + "] of " + archivePath + " : " +
                  (why ? why : (readWhy ? readWhy : "unknown error")));
    const bool full = IsDiskFull(writer);
    std::error_code error;
    for (const std::string& top : written) {
        fs::remove_all(FsPath(root + "/" + top), error);
    }
    return full ? Codes::kUnzipNoSpace : Codes::kUnzipWriteFailed;
}

std::int32_t Unpack(const std::string& archivePath, const std::string& root) {
    ReaderPtr reader = OpenReader(archivePath);
    WriterPtr writer(archive_write_disk_new());
    if (!reader || !writer) {
        return Codes::kUnzipUnreadable;
    }
    // Absolute paths are refused by the survey; the library's own absolute-path guard
    // cannot be on here because every entry is given the folder as an absolute prefix.
    archive_write_disk_set_options(writer.get(), ARCHIVE_EXTRACT_TIME | ARCHIVE_EXTRACT_PERM |
                                                     ARCHIVE_EXTRACT_SECURE_NODOTDOT |
                                                     ARCHIVE_EXTRACT_SECURE_SYMLINKS);
    archive_entry* entry = nullptr;
    int status = ARCHIVE_OK;
    std::set<std::string> written;
    while ((status = archive_read_next_header(reader.get(), &entry)) == ARCHIVE_OK ||
           status == ARCHIVE_WARN) {
        const std::string path = EntryPath(entry);
        const std::vector<std::string> parts = Components(path);
        if (!parts.empty() && !fs::exists(FsPath(root + "/" + parts.front()))) {
            written.insert(parts.front());
        }
        archive_entry_set_pathname_utf8(entry, (root + "/" + path).c_str());
        if (const char* hardlink = archive_entry_hardlink(entry); hardlink != nullptr) {
            archive_entry_set_hardlink(entry, (root + "/" + hardlink).c_str());
        }
        if (archive_write_header(writer.get(), entry) < ARCHIVE_WARN ||
            (archive_entry_size(entry) > 0 && CopyData(reader.get(), writer.get()) != ARCHIVE_OK) ||
            archive_write_finish_entry(writer.get()) < ARCHIVE_WARN) {
            return WriteFailed(reader.get(), writer.get(), archivePath, root, path, written);
        }
    }
    if (status != ARCHIVE_EOF) {
        Logger::Error(std::string(kTag) + "cannot read " + archivePath + " : " +
                      archive_error_string(reader.get()));
        return Codes::kUnzipUnreadable;
    }
    if (archive_write_close(writer.get()) != ARCHIVE_OK) {
        Logger::Error(std::string(kTag) + "cannot finish " + root + " : " +
                      archive_error_string(writer.get()));
        return Codes::kUnzipWriteFailed;
    }
    return Codes::kUnzipOk;
}

}  // namespace

bool ArchiveExtract::IsSafeEntryPath(const std::string& path) {
    if (path.empty() || path[0] == '/' || path[0] == '\\' || (path.size() > 1 && path[1] == ':')) {
        return false;
    }
    for (const std::string& part : Components(path)) {
        if (part == "..") {
            return false;
        }
    }
    return true;
}

std::int32_t ArchiveExtract::Extract(const std::string& archive, const std::string& folder) {
    std::error_code error;
    fs::create_directories(FsPath(folder), error);
    // The library refuses to write through any symbolic link on the way, so the folder is
    // named by its real path.
    const fs::path root = fs::canonical(FsPath(folder), error);
    if (error) {
        Logger::Error(std::string(kTag) + "cannot make the folder " + folder + " : " +
                      error.message());
        return Codes::kUnzipWriteFailed;
    }
    const Survey survey = SurveyArchive(archive, root);
    if (survey.rc != Codes::kUnzipOk) {
        return survey.rc;
    }
    const std::optional<std::uint64_t> free = DiskSpace::Available(folder);
    if (free && *free < survey.bytes) {
        Logger::Error(std::string(kTag) + "not enough space in " + folder + " : " +
                      std::to_string(*free) + " bytes free, " + std::to_string(survey.bytes) +
                      " needed");
        return Codes::kUnzipNoSpace;
    }
    const std::int32_t rc = Unpack(archive, PathText(root));
    if (rc == Codes::kUnzipOk) {
        Logger::Info(std::string(kTag) + "unpacked " + archive + " into " + folder);
    }
    return rc;
}

OpReply ArchiveExtract::Run(const JSON::JSONItem& args, const std::string& folder) {
    std::string archive;
    JSON::GetStringField("target", archive, &args);
    std::int32_t rc = Codes::kUnzipUnreadable;
    if (archive.empty() || folder.empty()) {
        Logger::Error(std::string(kTag) + "no archive or no unzip folder");
    } else {
        // The unzip folder holds one media at a time; an archive kept in it stays.
        std::error_code error;
        const std::string kept = PathText(fs::weakly_canonical(FsPath(archive), error));
        for (const fs::directory_entry& child : fs::directory_iterator(FsPath(folder), error)) {
            const std::string name = PathText(fs::weakly_canonical(child.path(), error));
            if (kept != name && kept.rfind(name + "/", 0) != 0) {
                fs::remove_all(child.path(), error);
            }
        }
        rc = Extract(archive, folder);
    }
    JSON::ItemPtr content = JSON::CreateObject();
    content->AsObject()->Set("output", JSON::CreateString(folder, false));
    content->AsObject()->Set("rc", JSON::CreateNumber(rc));
    return ReplyOk(std::move(content));
}

}  // namespace WorkerOps
