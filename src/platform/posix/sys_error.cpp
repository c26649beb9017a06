#include "platform/sys_error.h"

#include <cerrno>
#include <cstring>

namespace platform {
namespace {

struct ErrnoMapping {
    int errnum;
    std::uint32_t code;
};

// The first entry of a code is also the errno whose text describes that code.
constexpr ErrnoMapping kErrnoTable[] = {
    {0, SysError::SUCCESS},
    {ENOENT, SysError::FILE_NOT_FOUND},
    {ENOTDIR, SysError::PATH_NOT_FOUND},
    {EMFILE, SysError::TOO_MANY_OPEN_FILES},
    {ENFILE, SysError::TOO_MANY_OPEN_FILES},
    {EACCES, SysError::ACCESS_DENIED},
    {EPERM, SysError::ACCESS_DENIED},
    {EBADF, SysError::INVALID_HANDLE},
    {ENOMEM, SysError::NOT_ENOUGH_MEMORY},
    {EXDEV, SysError::NOT_SAME_DEVICE},
    {EROFS, SysError::WRITE_PROTECT},
    {EIO, SysError::GEN_FAILURE},
    {ETXTBSY, SysError::SHARING_VIOLATION},
    {ENOSPC, SysError::DISK_FULL},
    {EDQUOT, SysError::DISK_FULL},
    {EFBIG, SysError::HANDLE_DISK_FULL},
    {ENOSYS, SysError::NOT_SUPPORTED},
    {EOPNOTSUPP, SysError::NOT_SUPPORTED},
    {EEXIST, SysError::ALREADY_EXISTS},
    {EINVAL, SysError::INVALID_PARAMETER},
    {EPIPE, SysError::BROKEN_PIPE},
    {ECONNRESET, SysError::BROKEN_PIPE},
    {ENOBUFS, SysError::INSUFFICIENT_BUFFER},
    {ENAMETOOLONG, SysError::FILENAME_EXCED_RANGE},
    {ENOTEMPTY, SysError::DIR_NOT_EMPTY},
    {EBUSY, SysError::BUSY},
    {EAGAIN, SysError::WOULD_BLOCK},
    {ENOTCONN, SysError::PIPE_NOT_CONNECTED},
    {EISCONN, SysError::PIPE_CONNECTED},
    {EMSGSIZE, SysError::MORE_DATA},
    {EISDIR, SysError::DIRECTORY},
    {ECANCELED, SysError::OPERATION_ABORTED},
    {EINTR, SysError::OPERATION_ABORTED},
    {EINPROGRESS, SysError::IO_PENDING},
    {EPIPE, SysError::PIPE_CLOSING},
    {ECONNREFUSED, SysError::CONNECTION_REFUSED},
    {ECONNABORTED, SysError::CONNECTION_INVALID},
    {ETIMEDOUT, SysError::TIMEOUT},
};

// Codes that have no errno counterpart still get a text of their own.
struct CodeText {
    std::uint32_t code;
    const char* text;
};

constexpr CodeText kCodeTexts[] = {
    {SysError::SUCCESS, "The operation completed successfully."},
    {SysError::INVALID_FUNCTION, "Incorrect function."},
    {SysError::HANDLE_EOF, "Reached the end of the file."},
    {SysError::SEM_TIMEOUT, "The semaphore timeout period has expired."},
    {SysError::INVALID_NAME,
     "The file name, directory name, or volume label syntax is "
     "incorrect."},
    {SysError::PIPE_BUSY, "All pipe instances are busy."},
    {SysError::WAIT_TIMED_OUT, "The wait operation timed out."},
    {SysError::WOULD_BLOCK, "A non-blocking operation could not be completed immediately."},
    {SysError::NO_MORE_ITEMS, "No more data is available."},
    {SysError::FILE_EXISTS, "The file exists."},
    {SysError::NO_TOKEN, "An attempt was made to reference a token that does not exist."},
    {SysError::SERVICE_SPECIFIC_ERROR,
     "The service has returned a service-specific error "
     "code."},
    {SysError::NOT_FOUND, "Element not found."},
    {SysError::CANCELLED, "The operation was canceled by the user."},
    {SysError::PRIVILEGE_NOT_HELD, "A required privilege is not held by the client."},
    {SysError::MR_MID_NOT_FOUND,
     "The system cannot find message text for this message "
     "number."},
};

thread_local bool tHasOverride = false;
thread_local std::uint32_t tOverride = 0;
thread_local int tErrnoAtOverride = 0;

}  // namespace

std::uint32_t ErrorFromErrno(int errnum) {
    for (const auto& m : kErrnoTable) {
        if (m.errnum == errnum) {
            return m.code;
        }
    }
    return SysError::GEN_FAILURE;
}

std::uint32_t LastError() {
    // An explicit SetLastError holds until errno changes again.
    if (tHasOverride && errno == tErrnoAtOverride) {
        return tOverride;
    }
    tHasOverride = false;
    return ErrorFromErrno(errno);
}

void SetLastError(std::uint32_t code) {
    tHasOverride = true;
    tOverride = code;
    tErrnoAtOverride = errno;
}

bool TryFormatSystemMessage(std::uint32_t code, std::string& text) {
    for (const auto& t : kCodeTexts) {
        if (t.code == code) {
            text = t.text;
            return true;
        }
    }
    for (const auto& m : kErrnoTable) {
        if (m.code == code) {
            text = ErrnoText(m.errnum);
            return true;
        }
    }
    text.clear();
    SetLastError(SysError::MR_MID_NOT_FOUND);
    return false;
}

std::string ErrnoText(int errnum) {
    char buffer[256] = {};
    // GNU strerror_r returns the text, which may or may not be the buffer.
    const char* text = strerror_r(errnum, buffer, sizeof buffer);
    if (text == nullptr || *text == '\0') {
        return "NULL";
    }
    return text;
}

}  // namespace platform
