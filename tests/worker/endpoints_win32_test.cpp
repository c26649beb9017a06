// The Windows pipes' own security: what a pipe's server may do with its client, and who
// may open a worker's pipe.
#ifdef _WIN32

// sddl.h and aclapi.h need the declarations of windows.h before them.
// clang-format off
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>
// clang-format on

#include <gtest/gtest.h>

#include <future>
#include <memory>
#include <string>
#include <vector>

#include "platform/message_pipe.h"
#include "platform/sys_error.h"

namespace {

using platform::RuntimeOwner;

bool UnderWine() {
    const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

std::string UniquePipeName(const char* what) {
    return std::string("\\\\.\\pipe\\vl_") + what + "_" + std::to_string(::GetCurrentProcessId());
}

std::wstring Wide(const std::string& text) {
    return std::wstring(text.begin(), text.end());  // the test's names are ASCII
}

struct HandleCloser {
    void operator()(HANDLE handle) const { ::CloseHandle(handle); }
};
using UniqueHandle = std::unique_ptr<void, HandleCloser>;

struct LocalFreeDeleter {
    void operator()(void* memory) const { ::LocalFree(memory); }
};

std::vector<BYTE> OwnUserSid() {
    HANDLE raw = nullptr;
    EXPECT_TRUE(::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &raw));
    const UniqueHandle token(raw);
    DWORD size = 0;
    ::GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
    std::vector<BYTE> buffer(size);
    EXPECT_TRUE(::GetTokenInformation(token.get(), TokenUser, buffer.data(), size, &size));
    const PSID sid = reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid;
    return {static_cast<BYTE*>(sid), static_cast<BYTE*>(sid) + ::GetLengthSid(sid)};
}

// A server of our own serves the pipe; ConnectPipe's client lets it identify the client but
// not act as it: the thread token it gets is at identification level.
TEST(PipeSecurityTest, ClientsAllowIdentificationOnly) {
    const std::string name = UniquePipeName("qos");
    const UniqueHandle server(::CreateNamedPipeW(Wide(name).c_str(), PIPE_ACCESS_DUPLEX,
                                                 PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE, 1, 4096,
                                                 4096, 0, nullptr));
    ASSERT_NE(server.get(), INVALID_HANDLE_VALUE);
    auto client = std::async(std::launch::async, [&] {
        platform::PipeConnection connection;
        std::size_t written = 0;
        if (platform::ConnectPipe(name, RuntimeOwner::Self(), connection) == 0) {
            connection.Write("hello", written);
        }
        std::string rest;
        connection.ReadMessage(rest);  // stays connected until the server has looked
        return written;
    });
    const BOOL connected = ::ConnectNamedPipe(server.get(), nullptr);
    ASSERT_TRUE(connected || ::GetLastError() == ERROR_PIPE_CONNECTED);
    char buffer[16];
    DWORD read = 0;
    ASSERT_TRUE(::ReadFile(server.get(), buffer, sizeof buffer, &read, nullptr));

    ASSERT_TRUE(::ImpersonateNamedPipeClient(server.get()));
    HANDLE raw = nullptr;
    const BOOL opened = ::OpenThreadToken(::GetCurrentThread(), TOKEN_QUERY, TRUE, &raw);
    ::RevertToSelf();
    ASSERT_TRUE(opened);
    const UniqueHandle token(raw);
    SECURITY_IMPERSONATION_LEVEL level = SecurityAnonymous;
    DWORD size = 0;
    ASSERT_TRUE(
        ::GetTokenInformation(token.get(), TokenImpersonationLevel, &level, sizeof level, &size));
    DWORD written = 0;
    ::WriteFile(server.get(), "bye", 3, &written, nullptr);
    EXPECT_EQ(client.get(), 5u);
    if (level != SecurityIdentification && UnderWine()) {
        GTEST_SKIP() << "under Wine: pipe servers impersonate at level " << level
                     << " whatever the client asked";
    }
    EXPECT_EQ(level, SecurityIdentification);
}

// A worker's pipe lets in the system account and its own user, nobody else.
TEST(PipeSecurityTest, PrivatePipesAdmitOnlySystemAndTheirUser) {
    const std::string name = UniquePipeName("dacl");
    platform::PipeListener listener;
    ASSERT_EQ(listener.Create(name), 0u);
    const UniqueHandle pipe(
        ::CreateFileW(Wide(name).c_str(), READ_CONTROL, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_NE(pipe.get(), INVALID_HANDLE_VALUE) << ::GetLastError();
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR raw = nullptr;
    ASSERT_EQ(::GetSecurityInfo(pipe.get(), SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                nullptr, &dacl, nullptr, &raw),
              DWORD{ERROR_SUCCESS});
    const std::unique_ptr<void, LocalFreeDeleter> descriptor(raw);
    ASSERT_NE(dacl, nullptr) << "a pipe without an access list admits everyone";

    BYTE system[SECURITY_MAX_SID_SIZE];
    DWORD systemSize = sizeof system;
    ASSERT_TRUE(::CreateWellKnownSid(WinLocalSystemSid, nullptr, system, &systemSize));
    std::vector<BYTE> user = OwnUserSid();
    std::vector<bool> admitted;  // per ACE: system, then the user
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        void* ace = nullptr;
        ASSERT_TRUE(::GetAce(dacl, i, &ace));
        const auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
        ASSERT_EQ(allowed->Header.AceType, ACCESS_ALLOWED_ACE_TYPE) << i;
        const PSID sid = const_cast<DWORD*>(&allowed->SidStart);
        admitted.push_back(::EqualSid(sid, system) || ::EqualSid(sid, user.data()));
    }
    EXPECT_EQ(admitted, (std::vector<bool>{true, true}));
}

}  // namespace

#endif  // _WIN32
