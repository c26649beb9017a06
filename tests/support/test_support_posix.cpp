// The POSIX side of the test helpers: environment changes, the event log's socket, a small
// disk.
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "support/test_support.h"

namespace fs = std::filesystem;

namespace vl_test {

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

bool UnderWine() {
    return false;
}

bool ProcessAlive(std::uint32_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("State:", 0) == 0) {
            const std::size_t at = line.find_first_not_of(" \t", 6);
            return at != std::string::npos && line[at] != 'Z' && line[at] != 'X';
        }
    }
    return false;
}

bool KillProcess(std::uint32_t pid) {
    return ::kill(static_cast<pid_t>(pid), SIGKILL) == 0;
}

}  // namespace vl_test
