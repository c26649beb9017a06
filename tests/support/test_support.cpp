#include "support/test_support.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "base/config.h"
#include "base/folders.h"
#include "base/logger.h"
#include "base/toolbox.h"

namespace fs = std::filesystem;

namespace vl_test {

TempDir::TempDir() {
    static std::atomic<unsigned> counter{0};
    std::random_device random;
    const fs::path base = fs::temp_directory_path();
    for (;;) {
        fs::path candidate = base / ("vl_test_" + std::to_string(random()) + "_" +
                                     std::to_string(counter.fetch_add(1)));
        std::error_code ec;
        if (fs::create_directory(candidate, ec)) {
            path_ = candidate.string();
            return;
        }
    }
}

TempDir::~TempDir() {
    std::error_code ec;
    fs::remove_all(fs::path(path_), ec);
}

std::string TempDir::Path(const std::string& leaf) const {
    return ToolBox::JoinPath(path_, leaf);
}

ScopedEnv::ScopedEnv(std::string name, const std::optional<std::string>& value)
    : name_(std::move(name)) {
    if (const char* old = std::getenv(name_.c_str()); old != nullptr) {
        old_ = old;
    }
    if (value.has_value()) {
        ::setenv(name_.c_str(), value->c_str(), 1);
    } else {
        ::unsetenv(name_.c_str());
    }
}

ScopedEnv::~ScopedEnv() {
    if (old_.has_value()) {
        ::setenv(name_.c_str(), old_->c_str(), 1);
    } else {
        ::unsetenv(name_.c_str());
    }
}

bool WriteFile(const std::string& path, const std::string& text) {
    std::error_code ec;
    const fs::path p(path);
    if (p.has_parent_path()) {
        fs::create_directories(p.parent_path(), ec);
    }
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out << text;
    return static_cast<bool>(out);
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(fs::path(path), std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

SyslogSink::SyslogSink(std::string path) : path_(std::move(path)) {
    fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path_.copy(address.sun_path, sizeof address.sun_path - 1);
    ::bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    // The daemon may run as another user in some tests.
    ::chmod(path_.c_str(), 0666);
}

SyslogSink::~SyslogSink() {
    ::close(fd_);
    ::unlink(path_.c_str());
}

std::string SyslogSink::Received() {
    char buffer[65536];
    for (ssize_t n; (n = ::recv(fd_, buffer, sizeof buffer, 0)) > 0;) {
        records_.append(buffer, static_cast<std::size_t>(n)).append("\n");
    }
    return records_;
}

SmallDisk::SmallDisk(std::string path, unsigned kib) : path_(std::move(path)) {
    std::error_code ec;
    fs::create_directories(fs::path(path_), ec);
    const std::string options = "size=" + std::to_string(kib) + "k,mode=0755";
    mounted_ = ::mount("tmpfs", path_.c_str(), "tmpfs", 0, options.c_str()) == 0;
}

SmallDisk::~SmallDisk() {
    if (mounted_) {
        ::umount2(path_.c_str(), MNT_DETACH);
    }
}

void SmallDisk::Fill() const {
    // Large blocks first, then single bytes: not one byte is left.
    const int fd =
        ::open((path_ + "/filler").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    const std::string block(4096, 'f');
    for (std::size_t size : {block.size(), std::size_t{1}}) {
        while (fd >= 0 && ::write(fd, block.data(), size) > 0) {
        }
    }
    if (fd >= 0) {
        ::close(fd);
    }
}

void SmallDisk::Free() const {
    std::error_code ec;
    fs::remove(fs::path(path_ + "/filler"), ec);
}

void ResetInfrastructure() {
    const char* show = std::getenv("QVYLD_LOG_STDOUT");
    Logger::SetStdoutCopy(show != nullptr && std::string(show) == "1");
    Logger::SetClockForTests(nullptr);
    Logger::ResetForTests();
    Config::ResetForTests();
    FileAndFoldersManager::ResetForTests();
    ToolBox::GlobalStopOrder() = false;
}

bool WriteLauncherConf(const std::string& path, const std::vector<std::string>& lines) {
    std::string text = "LOGLEVEL=all\n";
    for (const std::string& line : lines) {
        text += line + "\n";
    }
    return WriteFile(path, text);
}

bool InitInfrastructure(const TempDir& dir) {
    ResetInfrastructure();
    ScopedEnv tmp("PMX_KTV_TMP", dir.Path());
    if (!FileAndFoldersManager::Init(FolderContext::TEST_HARNESS)) {
        return false;
    }
    std::string mainData;
    std::string logFolder;
    if (!FileAndFoldersManager::GetFolder(Folder::MAIN_DATA, mainData, true) ||
        !Config::Init(ToolBox::JoinPath(mainData, "launcher.conf")) ||
        !FileAndFoldersManager::GetFolder(Folder::LOG, logFolder, true)) {
        return false;
    }
    return Logger::Init("VantaroLauncher_service", logFolder, "qvy_log_file");
}

}  // namespace vl_test
