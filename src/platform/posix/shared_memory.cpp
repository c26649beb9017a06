#include "platform/shared_memory.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/posix/unique_fd.h"
#include "platform/sys_error.h"

namespace platform {

namespace {

using posix::UniqueFd;

constexpr const char* kGlobalPrefix = "Global\\";
constexpr const char* kRootVariable = "QVYLD_RUNTIME_DIR";

// ObjectName is the POSIX name of a section name. A changed runtime root adds its hash, so
// that a test's daemon and tray meet each other and nobody else.
std::string ObjectName(const std::string& name) {
    std::string leaf = name.rfind(kGlobalPrefix, 0) == 0 ? name.substr(7) : name;
    for (char& c : leaf) {
        if (c == '/' || c == '\\') {
            c = '_';
        }
    }
    const char* root = std::getenv(kRootVariable);
    if (root != nullptr && *root != '\0') {
        std::uint32_t hash = 2166136261u;
        for (const char* p = root; *p != '\0'; ++p) {
            hash = (hash ^ static_cast<unsigned char>(*p)) * 16777619u;
        }
        leaf += "." + std::to_string(hash);
    }
    return "/" + leaf;
}

// WriteAll writes the whole buffer at offset, as one block write where the system allows.
std::uint32_t WriteAll(int fd, const char* data, std::size_t size, off_t offset) {
    while (size > 0) {
        const ssize_t n = ::pwrite(fd, data, size, offset);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return ErrorFromErrno(n < 0 ? errno : EIO);
        }
        data += n;
        size -= static_cast<std::size_t>(n);
        offset += n;
    }
    return SysError::SUCCESS;
}

}  // namespace

struct SharedMemoryWriter::Impl {
    std::string objectName;
    std::size_t size = 0;
    UniqueFd fd;
    dev_t device = 0;
    ino_t inode = 0;

    ~Impl() { Unlink(); }

    // StillOurs tells whether the name still leads to our object at its full size.
    bool StillOurs() const {
        struct stat own {};
        if (::fstat(fd.Get(), &own) != 0 || static_cast<std::size_t>(own.st_size) != size) {
            return false;
        }
        UniqueFd current(::shm_open(objectName.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW, 0));
        struct stat info {};
        return current.Valid() && ::fstat(current.Get(), &info) == 0 && info.st_dev == device &&
               info.st_ino == inode;
    }

    // Unlink removes the name when it still leads to our object.
    void Unlink() {
        if (!fd.Valid()) {
            return;
        }
        UniqueFd current(::shm_open(objectName.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW, 0));
        struct stat info {};
        if (current.Valid() && ::fstat(current.Get(), &info) == 0 && info.st_dev == device &&
            info.st_ino == inode) {
            ::shm_unlink(objectName.c_str());
        }
        fd.Reset();
    }

    // Open creates the object, replacing one that someone else made under the name.
    std::uint32_t Open() {
        fd.Reset(::shm_open(objectName.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
        if (!fd.Valid() && errno == EEXIST) {
            ::shm_unlink(objectName.c_str());
            fd.Reset(::shm_open(objectName.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
        }
        if (!fd.Valid()) {
            return ErrorFromErrno(errno);
        }
        struct stat info {};
        if (::fchmod(fd.Get(), 0644) != 0 || ::ftruncate(fd.Get(), static_cast<off_t>(size)) != 0 ||
            ::fstat(fd.Get(), &info) != 0) {
            const std::uint32_t error = ErrorFromErrno(errno);
            ::shm_unlink(objectName.c_str());
            fd.Reset();
            return error;
        }
        device = info.st_dev;
        inode = info.st_ino;
        return SysError::SUCCESS;
    }
};

SharedMemoryWriter::SharedMemoryWriter() = default;
SharedMemoryWriter::~SharedMemoryWriter() = default;
SharedMemoryWriter::SharedMemoryWriter(SharedMemoryWriter&&) noexcept = default;
SharedMemoryWriter& SharedMemoryWriter::operator=(SharedMemoryWriter&&) noexcept = default;

std::uint32_t SharedMemoryWriter::Create(const std::string& name, std::size_t size) {
    Close();
    if (name.empty() || size == 0) {
        return SysError::INVALID_PARAMETER;
    }
    auto impl = std::make_unique<Impl>();
    impl->objectName = ObjectName(name);
    impl->size = size;
    const std::uint32_t error = impl->Open();
    if (error != SysError::SUCCESS) {
        return error;
    }
    impl_ = std::move(impl);
    return SysError::SUCCESS;
}

bool SharedMemoryWriter::IsOpen() const {
    return impl_ != nullptr;
}

std::uint32_t SharedMemoryWriter::Write(std::string_view text) {
    if (!impl_) {
        return SysError::INVALID_HANDLE;
    }
    if (text.size() > impl_->size) {
        return SysError::INSUFFICIENT_BUFFER;
    }
    std::uint32_t result = SysError::SUCCESS;
    if (!impl_->StillOurs()) {
        impl_->Unlink();
        const std::uint32_t error = impl_->Open();
        if (error != SysError::SUCCESS) {
            return error;
        }
        result = SysError::FILE_NOT_FOUND;
    }
    // Written through the descriptor, never through a mapping: a block truncated under us
    // cannot fault the writer.
    std::vector<char> block(impl_->size, '\0');
    std::memcpy(block.data(), text.data(), text.size());
    const std::uint32_t error = WriteAll(impl_->fd.Get(), block.data(), block.size(), 0);
    return error != SysError::SUCCESS ? error : result;
}

void SharedMemoryWriter::Close() {
    impl_.reset();
}

std::uint32_t ReadSharedMemory(const std::string& name, std::size_t size, std::string& text) {
    text.clear();
    UniqueFd fd(::shm_open(ObjectName(name).c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW, 0));
    if (!fd.Valid()) {
        return errno == ENOENT ? SysError::FILE_NOT_FOUND : ErrorFromErrno(errno);
    }
    struct stat info {};
    if (::fstat(fd.Get(), &info) != 0) {
        return ErrorFromErrno(errno);
    }
    if (info.st_uid != 0 && info.st_uid != ::geteuid()) {
        return SysError::ACCESS_DENIED;
    }
    if (static_cast<std::size_t>(info.st_size) < size) {
        return SysError::HANDLE_EOF;
    }
    std::vector<char> block(size, '\0');
    const ssize_t n = ::pread(fd.Get(), block.data(), block.size(), 0);
    if (n < 0) {
        return ErrorFromErrno(errno);
    }
    const std::size_t length = strnlen(block.data(), static_cast<std::size_t>(n));
    text.assign(block.data(), length);
    return SysError::SUCCESS;
}

}  // namespace platform
