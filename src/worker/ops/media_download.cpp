#include "worker/ops/media_download.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "base/logger.h"
#include "base/toolbox.h"
#include "platform/digest.h"
#include "platform/web_transfer.h"
#include "session/operations_as_user_web.h"
#include "worker/ops/disk_space.h"
#include "worker/ops/path_text.h"

namespace WorkerOps {

namespace {

namespace Codes = WebOperationCodes;
namespace fs = std::filesystem;

constexpr const char* kTag = "[MediaDownload::Download]";
constexpr std::size_t kFileBuffer = 1 << 20;

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;
using platform::Digest;

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

bool IsNoSpace(int error) {
    return error == static_cast<int>(std::errc::no_space_on_device);
}

// Sink writes and hashes the received bytes on a thread of its own, so that the checksum
// costs the transfer's thread no time: the bytes are handed over in chunks.
class Sink {
  public:
    // Sink hashes only when hashing is set: a checksum that nobody compares costs nothing.
    Sink(std::FILE* file, Digest& digest, bool hashing)
        : file_(file), digest_(digest), hashing_(hashing) {
        pending_.reserve(kChunk);
        thread_ = std::thread([this] { Loop(); });
    }
    ~Sink() { Finish(); }
    Sink(const Sink&) = delete;
    Sink& operator=(const Sink&) = delete;

    bool Add(const char* data, std::size_t size) {
        pending_.append(data, size);
        if (pending_.size() >= kChunk) {
            Hand();
        }
        return !failed_;
    }
    // NoSpace tells whether a write failed because the file system is full.
    bool NoSpace() const { return noSpace_; }
    // Drain returns once every byte added so far is written and hashed.
    bool Drain() {
        Hand();
        std::unique_lock lock(mutex_);
        idle_.wait(lock, [this] { return queue_.empty() && !busy_; });
        return !failed_;
    }
    // Finish writes what is left and ends the thread.
    bool Finish() {
        if (thread_.joinable()) {
            Hand();
            {
                std::lock_guard lock(mutex_);
                stop_ = true;
            }
            ready_.notify_all();
            thread_.join();
        }
        return !failed_;
    }

  private:
    static constexpr std::size_t kChunk = 1 << 20;
    static constexpr std::size_t kDepth = 8;

    void Hand() {
        if (pending_.empty()) {
            return;
        }
        std::unique_lock lock(mutex_);
        space_.wait(lock, [this] { return queue_.size() < kDepth; });
        queue_.push_back(std::move(pending_));
        // Buffers go round: a fresh megabyte per chunk would cost page faults and zeroing.
        if (spare_.empty()) {
            pending_ = std::string();
            pending_.reserve(kChunk);
        } else {
            pending_ = std::move(spare_.back());
            spare_.pop_back();
        }
        ready_.notify_one();
    }

    void Loop() {
        std::unique_lock lock(mutex_);
        while (true) {
            ready_.wait(lock, [this] { return !queue_.empty() || stop_; });
            if (queue_.empty()) {
                return;
            }
            std::string chunk = std::move(queue_.front());
            queue_.pop_front();
            busy_ = true;
            space_.notify_one();
            lock.unlock();
            if (!failed_) {
                if (std::fwrite(chunk.data(), 1, chunk.size(), file_) != chunk.size()) {
                    noSpace_ = IsNoSpace(errno);
                    failed_ = true;
                } else if (hashing_) {
                    digest_.Update(chunk.data(), chunk.size());
                }
            }
            chunk.clear();
            lock.lock();
            spare_.push_back(std::move(chunk));
            busy_ = false;
            idle_.notify_all();
        }
    }

    std::FILE* file_;
    Digest& digest_;
    const bool hashing_;
    std::string pending_;
    std::mutex mutex_;
    std::condition_variable ready_;
    std::condition_variable space_;
    std::condition_variable idle_;
    std::deque<std::string> queue_;
    std::vector<std::string> spare_;
    bool busy_ = false;
    bool stop_ = false;
    std::atomic<bool> failed_{false};
    std::atomic<bool> noSpace_{false};
    std::thread thread_;
};

// Transfer is the state of one download that the write callback feeds.
struct Transfer {
    fs::path part;
    std::FILE* file = nullptr;
    Digest* digest = nullptr;
    Sink* sink = nullptr;
    std::int64_t written = 0;  // bytes received into the part file
    std::int64_t expected = -1;
    std::int64_t resumedAt = 0;  // the offset asked with a range request
    std::string algorithm;
    bool checkedStatus = false;
    bool tooLong = false;
    bool writeFailed = false;
    bool restarted = false;
};

// StartOver empties the part file and the checksum, for a transfer from the first byte.
bool StartOver(Transfer& transfer) {
    if (!transfer.sink->Drain() || std::fflush(transfer.file) != 0) {
        return false;
    }
    std::error_code error;
    fs::resize_file(transfer.part, 0, error);
    if (error || std::fseek(transfer.file, 0, SEEK_SET) != 0) {
        return false;
    }
    transfer.written = 0;
    transfer.restarted = true;
    transfer.digest->Start(transfer.algorithm);
    return true;
}

// Receive takes a piece of the answer. The first piece tells whether the server honoured
// the range: a full answer (200) to a range request replaces the part file's content.
bool Receive(Transfer& transfer, long status, const char* data, std::size_t bytes) {
    if (!transfer.checkedStatus) {
        transfer.checkedStatus = true;
        if (status == 200 && transfer.resumedAt > 0 && !StartOver(transfer)) {
            transfer.writeFailed = true;
            return false;
        }
    }
    if (transfer.expected >= 0 &&
        transfer.written + static_cast<std::int64_t>(bytes) > transfer.expected) {
        transfer.tooLong = true;
        return false;
    }
    if (!transfer.sink->Add(data, bytes)) {
        transfer.writeFailed = true;
        return false;
    }
    transfer.written += static_cast<std::int64_t>(bytes);
    return true;
}

// HashExisting feeds the bytes already in the part file to the digest; false on a read
// failure.
bool HashExisting(std::FILE* file, Digest& digest, std::int64_t& size) {
    std::vector<char> buffer(kFileBuffer);
    size = 0;
    std::size_t read = 0;
    while ((read = std::fread(buffer.data(), 1, buffer.size(), file)) > 0) {
        digest.Update(buffer.data(), read);
        size += static_cast<std::int64_t>(read);
    }
    return std::ferror(file) == 0;
}

bool SafeFileName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." &&
           name.find_first_of("/\\:") == std::string::npos;
}

void RemoveFile(const fs::path& path) {
    std::error_code ignored;
    fs::remove(path, ignored);
}

// OpenPart opens the part file for writing at its end, with the bytes already there fed to
// the digest and counted in present. A part longer than an exact size is not a part of this
// media and is emptied.
FilePtr OpenPart(const fs::path& part, const MediaDownload::Media& media, Digest& digest,
                 std::int64_t& present) {
    present = 0;
    {
        FilePtr existing(std::fopen(PathText(part).c_str(), "a+b"));
        if (!existing || std::fseek(existing.get(), 0, SEEK_SET) != 0 ||
            !HashExisting(existing.get(), digest, present)) {
            Logger::Error(std::string(kTag) + "cannot read " + PathText(part));
            return nullptr;
        }
    }
    // fopen's append mode would ignore the seek of a restarted transfer; write through a
    // positioned stream instead.
    const bool stale = media.exactSize && media.size >= 0 && present > media.size;
    FilePtr file(std::fopen(PathText(part).c_str(), stale ? "w+b" : "r+b"));
    if (!file || std::fseek(file.get(), 0, SEEK_END) != 0) {
        Logger::Error(std::string(kTag) + "cannot open " + PathText(part));
        return nullptr;
    }
    if (stale) {
        digest.Start(media.hashAlgorithm);
        present = 0;
    }
    std::setvbuf(file.get(), nullptr, _IOFBF, kFileBuffer);
    return file;
}

// EnoughSpace tells whether the folder holds what is still missing of the media.
bool EnoughSpace(const MediaDownload::Media& media, const std::string& folder,
                 std::int64_t present) {
    if (media.size < 0) {
        return true;
    }
    const std::optional<std::uint64_t> free = DiskSpace::Available(folder);
    const auto needed = static_cast<std::uint64_t>(std::max<std::int64_t>(media.size - present, 0));
    if (free && *free < needed) {
        Logger::Error(std::string(kTag) + "not enough space in " + folder + " : " +
                      std::to_string(*free) + " bytes free, " + std::to_string(needed) + " needed");
        return false;
    }
    return true;
}

bool Retryable(int error) {
    namespace Web = platform::WebError;
    return error == Web::kPartial || error == Web::kReceive || error == Web::kTimeout ||
           error == Web::kSend || error == Web::kGotNothing;
}

// Fetch runs the transfers of one download: an interrupted one goes on from where it
// stopped, and one whose range the server refuses (416) starts again from the first byte.
platform::WebResult Fetch(const MediaDownload::Media& media, Transfer& transfer) {
    platform::WebResult result;
    for (int attempt = 0; attempt < MediaDownload::kAttempts; ++attempt) {
        if (transfer.expected >= 0 && transfer.written == transfer.expected) {
            return platform::WebResult{};  // all there: the checksum decides
        }
        platform::WebRequest request;
        request.url = media.url;
        request.failOnHttpError = true;
        request.rangeFrom = transfer.written;
        transfer.resumedAt = transfer.written;
        transfer.checkedStatus = false;
        transfer.restarted = false;
        if (transfer.written > 0) {
            Logger::Info(std::string(kTag) + "resuming " + media.fileName + " at byte " +
                         std::to_string(transfer.written));
        }
        result = platform::WebTransfer(
            request, [&transfer](long status, const char* data, std::size_t size) {
                return Receive(transfer, status, data, size);
            });
        if (transfer.restarted) {
            Logger::Warn(std::string(kTag) + "the server ignored the range; downloaded again");
        }
        if (result.error == platform::WebError::kHttpStatus && result.status == 416 &&
            transfer.resumedAt > 0) {
            Logger::Warn(std::string(kTag) + "the server refused the range at byte " +
                         std::to_string(transfer.resumedAt) + "; starting over");
            transfer.writeFailed = !StartOver(transfer);
            result.error = platform::WebError::kPartial;
        }
        if (result.error == platform::WebError::kNone || !Retryable(result.error) ||
            transfer.tooLong || transfer.writeFailed) {
            break;
        }
        Logger::Warn(std::string(kTag) + "transfer of " + media.fileName + " interrupted at byte " +
                     std::to_string(transfer.written) + " : " + result.why);
    }
    return result;
}

// Judge gives the result of the finished transfers and deletes a part that is of no use.
std::int32_t Judge(const MediaDownload::Media& media, const Transfer& transfer,
                   const platform::WebResult& result) {
    const bool ok = result.error == platform::WebError::kNone;
    if (transfer.tooLong ||
        (ok && transfer.expected >= 0 && transfer.written != transfer.expected)) {
        Logger::Error(std::string(kTag) + media.fileName + " : size mismatch, expected " +
                      std::to_string(media.size) + " bytes, got " +
                      (transfer.tooLong ? "more" : std::to_string(transfer.written)));
        RemoveFile(transfer.part);
        return Codes::kDownloadSizeMismatch;
    }
    if (!ok) {
        Logger::Error(std::string(kTag) + "download of [" + media.url + "] failed (HTTP " +
                      std::to_string(result.status) + ") : " + result.why);
        if (result.status >= 400) {
            RemoveFile(transfer.part);  // nothing of it is worth resuming
        }
        return Codes::kDownloadTransferFailed;
    }
    const std::string hash = transfer.digest->HexFinal();
    if (!media.hash.empty() && hash != Lower(media.hash)) {
        Logger::Error(std::string(kTag) + media.fileName + " : checksum mismatch, expected " +
                      Lower(media.hash) + ", got " + hash);
        RemoveFile(transfer.part);
        return Codes::kDownloadChecksumMismatch;
    }
    return Codes::kDownloadOk;
}

}  // namespace

std::int32_t MediaDownload::Download(const Media& media, const std::string& folder,
                                     std::string& output) {
    output.clear();
    if (!SafeFileName(media.fileName) || media.url.empty() || folder.empty()) {
        Logger::Error(std::string(kTag) + "unusable media description (file name [" +
                      media.fileName + "], url [" + media.url + "], folder [" + folder + "])");
        return Codes::kDownloadBadMedia;
    }
    Digest digest;
    if (!digest.Start(media.hashAlgorithm)) {
        Logger::Error(std::string(kTag) + "unknown checksum algorithm : " + media.hashAlgorithm);
        return Codes::kDownloadBadMedia;
    }
    std::error_code error;
    fs::create_directories(FsPath(folder), error);
    const fs::path target = FsPath(ToolBox::JoinPath(folder, media.fileName));
    // The checksum names the part, so that a part of another media is never continued.
    const fs::path part = FsPath(ToolBox::JoinPath(
        folder,
        media.fileName + "." + (media.hash.empty() ? "nohash" : Lower(media.hash)) + ".part"));
    if (media.hash.empty()) {
        RemoveFile(part);
    }
    std::int64_t present = 0;
    FilePtr file = OpenPart(part, media, digest, present);
    if (!file) {
        return Codes::kDownloadFileError;
    }
    if (!EnoughSpace(media, folder, present)) {
        file.reset();
        if (present == 0) {
            RemoveFile(part);
        }
        return Codes::kDownloadNoSpace;
    }
    Sink sink(file.get(), digest, !media.hash.empty());
    Transfer transfer;
    transfer.part = part;
    transfer.sink = &sink;
    transfer.file = file.get();
    transfer.digest = &digest;
    transfer.written = present;
    transfer.expected = media.exactSize ? media.size : -1;
    transfer.algorithm = media.hashAlgorithm;
    const platform::WebResult result = Fetch(media, transfer);
    const bool sunk = sink.Finish();
    const bool flushed = sunk && std::fflush(file.get()) == 0;
    // The catalogue's sizes are rounded: a media may still fill the disk once it is under way.
    const bool full = sink.NoSpace() || (sunk && !flushed && IsNoSpace(errno));
    file.reset();
    if (transfer.writeFailed || !flushed) {
        Logger::Error(std::string(kTag) + "cannot write " + PathText(part) +
                      (full ? " : the file system is full" : ""));
        RemoveFile(part);
        return full ? Codes::kDownloadNoSpace : Codes::kDownloadFileError;
    }
    if (const std::int32_t rc = Judge(media, transfer, result); rc != Codes::kDownloadOk) {
        return rc;
    }
    fs::rename(part, target, error);
    if (error) {
        Logger::Error(std::string(kTag) + "cannot name " + PathText(target) + " : " +
                      error.message());
        RemoveFile(part);
        return Codes::kDownloadFileError;
    }
    output = PathText(target);
    Logger::Info(std::string(kTag) + "downloaded " + output + " (" +
                 std::to_string(transfer.written) + " bytes)");
    return Codes::kDownloadOk;
}

OpReply MediaDownload::Run(const JSON::JSONItem& args) {
    std::string folder;
    JSON::GetStringField("dest", folder, &args);
    const JSON::JSONItem* info = args.Get("mi");
    Media media;
    JSON::GetStringField("fileName", media.fileName, info);
    JSON::GetStringField("downloadLink", media.url, info);
    JSON::GetStringField("hash", media.hash, info);
    JSON::GetStringField("hashAlgorithmLabel", media.hashAlgorithm, info);
    if (const JSON::JSONItem* size = info != nullptr ? info->Get("size") : nullptr;
        size != nullptr && size->IsNumber()) {
        media.size = size->GetInt64();
    }
    // "exactSize", when given, says it; else a media without a code level is taken as the
    // launcher's own package, whose size is a byte count.
    std::string codeLevel;
    JSON::GetStringField("codelevel", codeLevel, info);
    if (!JSON::GetBoolField("exactSize", media.exactSize, info)) {
        media.exactSize = codeLevel.empty();
    }
    std::string output;
    const std::int32_t rc = Download(media, folder, output);
    JSON::ItemPtr content = JSON::CreateObject();
    content->AsObject()->Set("rc", JSON::CreateNumber(rc));
    content->AsObject()->Set("output", JSON::CreateString(output.empty() ? folder : output, false));
    return ReplyOk(std::move(content));
}

}  // namespace WorkerOps
