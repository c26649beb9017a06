// sys_error.h: one error space for the whole daemon. The numbers are the system error codes
// of the Windows family, because the algorithms were written against them (a broken pipe, a
// busy pipe, "no more items"...). The POSIX backend translates errno into this space in
// ErrorFromErrno, so portable code branches on the same constants on every platform.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

namespace SysError {
inline constexpr std::uint32_t SUCCESS = 0;
inline constexpr std::uint32_t INVALID_FUNCTION = 1;
inline constexpr std::uint32_t FILE_NOT_FOUND = 2;
inline constexpr std::uint32_t PATH_NOT_FOUND = 3;
inline constexpr std::uint32_t TOO_MANY_OPEN_FILES = 4;
inline constexpr std::uint32_t ACCESS_DENIED = 5;
inline constexpr std::uint32_t INVALID_HANDLE = 6;
inline constexpr std::uint32_t NOT_ENOUGH_MEMORY = 8;
inline constexpr std::uint32_t NOT_SAME_DEVICE = 17;
inline constexpr std::uint32_t WRITE_PROTECT = 19;
inline constexpr std::uint32_t GEN_FAILURE = 31;
inline constexpr std::uint32_t SHARING_VIOLATION = 32;
inline constexpr std::uint32_t HANDLE_EOF = 38;
inline constexpr std::uint32_t HANDLE_DISK_FULL = 39;
inline constexpr std::uint32_t NOT_SUPPORTED = 50;
inline constexpr std::uint32_t FILE_EXISTS = 80;
inline constexpr std::uint32_t INVALID_PARAMETER = 87;
inline constexpr std::uint32_t BROKEN_PIPE = 109;
inline constexpr std::uint32_t DISK_FULL = 112;
inline constexpr std::uint32_t SEM_TIMEOUT = 121;
inline constexpr std::uint32_t INSUFFICIENT_BUFFER = 122;
inline constexpr std::uint32_t INVALID_NAME = 123;
inline constexpr std::uint32_t DIR_NOT_EMPTY = 145;
inline constexpr std::uint32_t BUSY = 170;
inline constexpr std::uint32_t ALREADY_EXISTS = 183;
inline constexpr std::uint32_t FILENAME_EXCED_RANGE = 206;
inline constexpr std::uint32_t PIPE_BUSY = 231;
// PIPE_CLOSING and WAIT_TIMED_OUT avoid the system headers' NO_DATA and WAIT_TIMEOUT macros.
inline constexpr std::uint32_t PIPE_CLOSING = 232;
inline constexpr std::uint32_t PIPE_NOT_CONNECTED = 233;
inline constexpr std::uint32_t MORE_DATA = 234;
inline constexpr std::uint32_t WAIT_TIMED_OUT = 258;
inline constexpr std::uint32_t NO_MORE_ITEMS = 259;
inline constexpr std::uint32_t DIRECTORY = 267;
inline constexpr std::uint32_t MR_MID_NOT_FOUND = 317;
inline constexpr std::uint32_t PIPE_CONNECTED = 535;
inline constexpr std::uint32_t OPERATION_ABORTED = 995;
inline constexpr std::uint32_t IO_PENDING = 997;
inline constexpr std::uint32_t NO_TOKEN = 1008;
inline constexpr std::uint32_t SERVICE_SPECIFIC_ERROR = 1066;
inline constexpr std::uint32_t NOT_FOUND = 1168;
inline constexpr std::uint32_t CANCELLED = 1223;
inline constexpr std::uint32_t CONNECTION_REFUSED = 1225;
inline constexpr std::uint32_t CONNECTION_INVALID = 1229;
inline constexpr std::uint32_t PRIVILEGE_NOT_HELD = 1314;
inline constexpr std::uint32_t TIMEOUT = 1460;
inline constexpr std::uint32_t WOULD_BLOCK = 10035;
}  // namespace SysError

// LastError is the calling thread's last system error, in the shared error space.
std::uint32_t LastError();
// SetLastError replaces the calling thread's last system error (backends that fail
// without a system call use it so that LastError tells the caller why).
void SetLastError(std::uint32_t code);
// ErrorFromErrno translates a C run-time error number into the shared error space;
// numbers without a counterpart become GEN_FAILURE.
std::uint32_t ErrorFromErrno(int errnum);
// TryFormatSystemMessage writes the system's text for the code as one line (no CR or LF);
// false when the system has no text for it, LastError() then tells why.
bool TryFormatSystemMessage(std::uint32_t code, std::string& text);
// SystemErrorMessage is the one-line text of the code, or "error <code>" when the system
// has none.
std::string SystemErrorMessage(std::uint32_t code);
// ErrnoText is the C run-time's text for an error number, "NULL" when it has none.
std::string ErrnoText(int errnum);

}  // namespace platform
