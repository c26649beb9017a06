#include "platform/message_pipe.h"

// sddl.h needs the declarations of windows.h before it.
// clang-format off
#include <windows.h>
#include <sddl.h>
#include <wtsapi32.h>
// clang-format on

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <memory>
#include <vector>

#include "platform/sys_error.h"
#include "platform/win32/win_handle.h"
#include "platform/win32/win_text.h"

namespace platform {

namespace {

using win32::Handle;

constexpr DWORD kBufferSize = 64 * 1024;

// kUserPipeAccess: full access for the local system account and the listener's own user
// ({user}, its SID), nobody else. A worker's pipe is its session user's: the daemon
// connects to it as the system account, and no other user may take a connection.
constexpr const wchar_t* kUserPipeAccess = L"D:P(A;;GA;;;SY)(A;;GA;;;{user})";

// kClientSecurity lets a pipe's server identify its client but never act as it. The daemon
// runs as the system account and connects to pipes that users' processes serve: without
// it, ImpersonateNamedPipeClient would hand such a server the system's rights.
constexpr DWORD kClientSecurity = SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION;

// kSharedPipeAccess: full access for the local system account, administrators and
// interactive users; denied to anonymous logons, the network-service account and network
// logons.
constexpr const wchar_t* kSharedPipeAccess =
    L"D:P(A;OICI;GA;;;SY)(A;OICI;GA;;;BA)(A;OICI;GA;;;IU)(D;OICI;GA;;;AN)(D;OICI;GA;;;NS)"
    L"(D;OICI;GA;;;NU)";

// TokenUserSid copies the user SID of a token.
bool TokenUserSid(HANDLE token, std::vector<BYTE>& sid) {
    DWORD size = 0;
    ::GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::vector<BYTE> buffer(size);
    if (size == 0 || !::GetTokenInformation(token, TokenUser, buffer.data(), size, &size)) {
        return false;
    }
    const PSID user = reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid;
    sid.assign(static_cast<BYTE*>(user), static_cast<BYTE*>(user) + ::GetLengthSid(user));
    return true;
}

bool ProcessUserSid(DWORD pid, std::vector<BYTE>& sid) {
    Handle process(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
    HANDLE rawToken = nullptr;
    if (!process.Valid() || !::OpenProcessToken(process.Get(), TOKEN_QUERY, &rawToken)) {
        return false;
    }
    Handle token(rawToken);
    return TokenUserSid(token.Get(), sid);
}

bool OwnerSid(const RuntimeOwner& owner, std::vector<BYTE>& sid) {
    if (owner.kind == RuntimeOwner::Kind::Self) {
        return ProcessUserSid(::GetCurrentProcessId(), sid);
    }
    HANDLE rawToken = nullptr;
    if (!::WTSQueryUserToken(owner.sessionId, &rawToken)) {
        return false;
    }
    Handle token(rawToken);
    return TokenUserSid(token.Get(), sid);
}

bool SameSid(const std::vector<BYTE>& a, const std::vector<BYTE>& b) {
    return !a.empty() && !b.empty() &&
           ::EqualSid(const_cast<BYTE*>(a.data()), const_cast<BYTE*>(b.data())) != FALSE;
}

bool IsLocalSystem(const std::vector<BYTE>& sid) {
    BYTE system[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof system;
    return ::CreateWellKnownSid(WinLocalSystemSid, nullptr, system, &size) &&
           ::EqualSid(const_cast<BYTE*>(sid.data()), system) != FALSE;
}

// SidUserName is the account name of a SID ("" when it has none).
std::string SidUserName(const std::vector<BYTE>& sid) {
    wchar_t name[256];
    wchar_t domain[256];
    DWORD nameSize = 256;
    DWORD domainSize = 256;
    SID_NAME_USE use{};
    if (!::LookupAccountSidW(nullptr, const_cast<BYTE*>(sid.data()), name, &nameSize, domain,
                             &domainSize, &use)) {
        return {};
    }
    return win32::WideToUtf8(name);
}

struct LocalFreeDeleter {
    void operator()(void* memory) const { ::LocalFree(memory); }
};

// OwnUserAccess writes kUserPipeAccess for the calling process's user.
bool OwnUserAccess(std::wstring& access) {
    std::vector<BYTE> sid;
    wchar_t* raw = nullptr;
    if (!ProcessUserSid(::GetCurrentProcessId(), sid) ||
        !::ConvertSidToStringSidW(sid.data(), &raw)) {
        return false;
    }
    const std::unique_ptr<wchar_t, LocalFreeDeleter> text(raw);
    access = kUserPipeAccess;
    const std::wstring placeholder = L"{user}";
    access.replace(access.find(placeholder), placeholder.size(), text.get());
    return true;
}

// Overlapped runs one I/O call on an overlapped handle and waits for its end. A read that
// ends at once with more data (234) has still read its piece: the count, like every other
// outcome, comes from the overlapped result.
template <typename Call>
std::uint32_t Overlapped(HANDLE handle, HANDLE event, DWORD& transferred, Call call) {
    OVERLAPPED overlapped{};
    overlapped.hEvent = event;
    ::ResetEvent(event);
    if (!call(&overlapped)) {
        const DWORD error = ::GetLastError();
        if (error != ERROR_IO_PENDING && error != ERROR_MORE_DATA) {
            return error;
        }
    }
    return ::GetOverlappedResult(handle, &overlapped, &transferred, TRUE) ? SysError::SUCCESS
                                                                          : ::GetLastError();
}

}  // namespace

// ---- PipeConnection -----------------------------------------------------------------------

struct PipeConnection::Impl {
    Handle pipe;
    PeerIdentity peer;
    Handle event;  // set for server instances, which are overlapped
    bool server = false;
    std::atomic<bool> aborted{false};

    // Failure is the error of a failed call: 995 once the exchange was given up.
    std::uint32_t Failure(std::uint32_t error) const {
        return aborted.load() ? SysError::OPERATION_ABORTED : error;
    }

    ~Impl() {
        if (server && pipe.Valid()) {
            // Let the client read what we wrote before the instance goes.
            ::FlushFileBuffers(pipe.Get());
            ::DisconnectNamedPipe(pipe.Get());
        }
    }
};

PipeConnection::PipeConnection() = default;
PipeConnection::PipeConnection(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
PipeConnection::~PipeConnection() = default;
PipeConnection::PipeConnection(PipeConnection&&) noexcept = default;
PipeConnection& PipeConnection::operator=(PipeConnection&&) noexcept = default;

bool PipeConnection::IsOpen() const {
    return impl_ != nullptr && impl_->pipe.Valid();
}

std::string PipeConnection::HandleText() const {
    char text[32];
    std::snprintf(text, sizeof text, "%p", IsOpen() ? impl_->pipe.Get() : nullptr);
    return text;
}

std::uint32_t PipeConnection::SetMessageReadMode() {
    if (!IsOpen()) {
        return SysError::INVALID_HANDLE;
    }
    DWORD mode = PIPE_READMODE_MESSAGE;
    return ::SetNamedPipeHandleState(impl_->pipe.Get(), &mode, nullptr, nullptr) ? SysError::SUCCESS
                                                                                 : ::GetLastError();
}

std::uint32_t PipeConnection::Write(std::string_view message, std::size_t& written) {
    written = 0;
    if (!IsOpen()) {
        return SysError::INVALID_HANDLE;
    }
    if (impl_->aborted.load()) {
        return SysError::OPERATION_ABORTED;
    }
    DWORD count = 0;
    const DWORD size = static_cast<DWORD>(message.size());
    std::uint32_t error = SysError::SUCCESS;
    if (impl_->server) {
        error = Overlapped(impl_->pipe.Get(), impl_->event.Get(), count, [&](OVERLAPPED* o) {
            return ::WriteFile(impl_->pipe.Get(), message.data(), size, nullptr, o) != FALSE;
        });
    } else if (!::WriteFile(impl_->pipe.Get(), message.data(), size, &count, nullptr)) {
        error = ::GetLastError();
    }
    written = count;
    return error == SysError::SUCCESS ? error : impl_->Failure(error);
}

std::uint32_t PipeConnection::Read(char* buffer, std::size_t size, std::size_t& read) {
    read = 0;
    if (!IsOpen()) {
        return SysError::INVALID_HANDLE;
    }
    if (impl_->aborted.load()) {
        return SysError::OPERATION_ABORTED;
    }
    DWORD count = 0;
    const DWORD limit = static_cast<DWORD>(size);
    std::uint32_t error = SysError::SUCCESS;
    if (impl_->server) {
        error = Overlapped(impl_->pipe.Get(), impl_->event.Get(), count, [&](OVERLAPPED* o) {
            return ::ReadFile(impl_->pipe.Get(), buffer, limit, nullptr, o) != FALSE;
        });
    } else if (!::ReadFile(impl_->pipe.Get(), buffer, limit, &count, nullptr)) {
        error = ::GetLastError();
    }
    read = count;
    return error == SysError::SUCCESS || error == SysError::MORE_DATA ? error
                                                                      : impl_->Failure(error);
}

void PipeConnection::Abort() {
    if (IsOpen()) {
        impl_->aborted.store(true);
        // Cancels the I/O that another thread has pending on the handle, synchronous or not.
        // A call that passed its check of the flag but has not reached the system yet is
        // not cancelled: that window is a few instructions wide.
        ::CancelIoEx(impl_->pipe.Get(), nullptr);
    }
}

std::uint32_t PipeConnection::ReadMessage(std::string& message, std::size_t limit,
                                          std::uint32_t timeoutMs) {
    message.clear();
    if (!IsOpen()) {
        return SysError::INVALID_HANDLE;
    }
    // Nothing is read before a message has arrived, so that the wait can end.
    const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
    for (;;) {
        DWORD available = 0;
        if (!::PeekNamedPipe(impl_->pipe.Get(), nullptr, 0, nullptr, &available, nullptr)) {
            return ::GetLastError();
        }
        if (available > 0) {
            break;
        }
        if (::GetTickCount64() >= deadline) {
            return SysError::SEM_TIMEOUT;
        }
        ::Sleep(5);
    }
    std::vector<char> buffer(limit + 1);
    std::size_t count = 0;
    const std::uint32_t error = Read(buffer.data(), buffer.size(), count);
    if (error != SysError::SUCCESS && error != SysError::MORE_DATA) {
        return error;
    }
    message.assign(buffer.data(), std::min(count, limit));
    return error == SysError::MORE_DATA || count > limit ? SysError::MORE_DATA : SysError::SUCCESS;
}

const PeerIdentity& PipeConnection::Peer() const {
    static const PeerIdentity nobody;
    return impl_ ? impl_->peer : nobody;
}

void PipeConnection::Close() {
    impl_.reset();
}

// ---- client side --------------------------------------------------------------------------

// WaitNamedPipeW fails at once (2) while no instance of the name exists, as before a new
// worker has made its pipe: that is waited out here, in slices, until the deadline.
std::uint32_t WaitForPipe(const std::string& name, const RuntimeOwner& /*owner*/,
                          std::uint32_t timeoutMs) {
    const std::wstring wideName = win32::Utf8ToWide(name);
    const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
    for (;;) {
        const ULONGLONG now = ::GetTickCount64();
        const DWORD left = now < deadline ? static_cast<DWORD>(deadline - now) : 0;
        if (::WaitNamedPipeW(wideName.c_str(), left > 0 ? left : 1)) {
            return SysError::SUCCESS;
        }
        const DWORD error = ::GetLastError();
        if (error != ERROR_FILE_NOT_FOUND) {
            return error;
        }
        if (::GetTickCount64() >= deadline) {
            return SysError::SEM_TIMEOUT;
        }
        ::Sleep(10);
    }
}

std::uint32_t ConnectPipe(const std::string& name, const RuntimeOwner& owner, PipeConnection& out) {
    out.Close();
    Handle pipe(::CreateFileW(win32::Utf8ToWide(name).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                              nullptr, OPEN_EXISTING, kClientSecurity, nullptr));
    if (!pipe.Valid()) {
        return ::GetLastError();
    }
    ULONG serverPid = 0;
    std::vector<BYTE> expected;
    std::vector<BYTE> actual;
    if (!::GetNamedPipeServerProcessId(pipe.Get(), &serverPid) || !OwnerSid(owner, expected) ||
        !ProcessUserSid(serverPid, actual) || !SameSid(expected, actual)) {
        return SysError::ACCESS_DENIED;
    }
    auto impl = std::make_unique<PipeConnection::Impl>();
    impl->pipe = std::move(pipe);
    out = PipeConnection(std::move(impl));
    return SysError::SUCCESS;
}

std::uint32_t ConnectSharedPipe(const std::string& name, PipeConnection& out) {
    out.Close();
    Handle pipe(::CreateFileW(win32::Utf8ToWide(name).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                              nullptr, OPEN_EXISTING, kClientSecurity, nullptr));
    if (!pipe.Valid()) {
        return ::GetLastError();
    }
    ULONG serverPid = 0;
    std::vector<BYTE> self;
    std::vector<BYTE> server;
    if (!::GetNamedPipeServerProcessId(pipe.Get(), &serverPid) ||
        !ProcessUserSid(::GetCurrentProcessId(), self) || !ProcessUserSid(serverPid, server) ||
        (!SameSid(self, server) && !IsLocalSystem(server))) {
        return SysError::ACCESS_DENIED;
    }
    auto impl = std::make_unique<PipeConnection::Impl>();
    impl->pipe = std::move(pipe);
    out = PipeConnection(std::move(impl));
    return SysError::SUCCESS;
}

void DiscardStalePipe(const std::string& /*name*/, const RuntimeOwner& /*owner*/) {
    // A named pipe disappears with the last handle to it.
}

// ---- PipeListener -------------------------------------------------------------------------

struct PipeListener::Impl {
    std::wstring name;
    std::wstring access;  // the pipe's security descriptor, in SDDL
    Handle instance;      // the instance waiting for the next client
    Handle interrupt;
    bool first = true;
    bool shared = false;

    std::uint32_t NewInstance() {
        const DWORD openMode =
            PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0);
        PSECURITY_DESCRIPTOR raw = nullptr;
        if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(access.c_str(), SDDL_REVISION_1,
                                                                    &raw, nullptr)) {
            return ::GetLastError();
        }
        const std::unique_ptr<void, LocalFreeDeleter> descriptor(raw);
        SECURITY_ATTRIBUTES attributes{sizeof attributes, raw, FALSE};
        instance.Reset(::CreateNamedPipeW(
            name.c_str(), openMode,
            PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
            PIPE_UNLIMITED_INSTANCES, kBufferSize, kBufferSize, 0, &attributes));
        if (!instance.Valid()) {
            const DWORD error = ::GetLastError();
            return first && error == ERROR_ACCESS_DENIED ? SysError::ALREADY_EXISTS : error;
        }
        first = false;
        return SysError::SUCCESS;
    }
};

PipeListener::PipeListener() = default;
PipeListener::~PipeListener() = default;
PipeListener::PipeListener(PipeListener&&) noexcept = default;
PipeListener& PipeListener::operator=(PipeListener&&) noexcept = default;

std::uint32_t PipeListener::Open(const std::string& name, bool shared) {
    Close();
    auto impl = std::make_unique<Impl>();
    impl->shared = shared;
    impl->name = win32::Utf8ToWide(name);
    if (shared) {
        impl->access = kSharedPipeAccess;
    } else if (!OwnUserAccess(impl->access)) {
        return ::GetLastError();
    }
    impl->interrupt.Reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!impl->interrupt.Valid()) {
        return ::GetLastError();
    }
    const std::uint32_t error = impl->NewInstance();
    if (error != SysError::SUCCESS) {
        return error;
    }
    impl_ = std::move(impl);
    return SysError::SUCCESS;
}

std::uint32_t PipeListener::Accept(PipeConnection& out) {
    out.Close();
    if (!impl_) {
        return SysError::INVALID_HANDLE;
    }
    if (!impl_->instance.Valid()) {
        const std::uint32_t error = impl_->NewInstance();
        if (error != SysError::SUCCESS) {
            return error;
        }
    }
    Handle event(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!event.Valid()) {
        return ::GetLastError();
    }
    OVERLAPPED overlapped{};
    overlapped.hEvent = event.Get();
    HANDLE pipe = impl_->instance.Get();
    if (!::ConnectNamedPipe(pipe, &overlapped)) {
        const DWORD error = ::GetLastError();
        if (error == ERROR_IO_PENDING) {
            HANDLE waits[2] = {event.Get(), impl_->interrupt.Get()};
            if (::WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0) {
                ::CancelIoEx(pipe, &overlapped);
                DWORD ignored = 0;
                ::GetOverlappedResult(pipe, &overlapped, &ignored, TRUE);
                return SysError::OPERATION_ABORTED;
            }
            DWORD ignored = 0;
            if (!::GetOverlappedResult(pipe, &overlapped, &ignored, FALSE)) {
                const DWORD failure = ::GetLastError();
                impl_->instance.Reset();
                return failure;
            }
        } else if (error != ERROR_PIPE_CONNECTED) {
            impl_->instance.Reset();
            return error;
        }
    }
    auto impl = std::make_unique<PipeConnection::Impl>();
    impl->pipe = std::move(impl_->instance);
    impl->event = std::move(event);
    impl->server = true;
    // The next instance at once, so that the name never disappears between two clients (a
    // client's WaitNamedPipe fails at once on a name without instances). On failure the
    // next Accept tries again.
    impl_->NewInstance();
    ULONG clientPid = 0;
    std::vector<BYTE> self;
    std::vector<BYTE> client;
    if (!::GetNamedPipeClientProcessId(impl->pipe.Get(), &clientPid) ||
        !ProcessUserSid(::GetCurrentProcessId(), self) || !ProcessUserSid(clientPid, client) ||
        (!impl_->shared && !SameSid(self, client) && !IsLocalSystem(client))) {
        return SysError::ACCESS_DENIED;
    }
    impl->peer.user = SidUserName(client);
    impl->peer.privileged = IsLocalSystem(client);
    impl->peer.processId = clientPid;
    out = PipeConnection(std::move(impl));
    return SysError::SUCCESS;
}

void PipeListener::Interrupt() {
    if (impl_) {
        ::SetEvent(impl_->interrupt.Get());
    }
}

void PipeListener::Close() {
    impl_.reset();
}

}  // namespace platform
