// The crash handler, in a real child that installs it and then faults.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <string>

#include "platform/process.h"
#include "session_fixtures.h"
#include "support/test_support.h"

namespace {

struct CrashCase {
    const char* kind;
    int signal;
    const char* name;
    const char* operation;  // the second line, nullptr when there is none
};

class CrashHandlerTest : public ::testing::TestWithParam<CrashCase> {};

TEST_P(CrashHandlerTest, ReportsTheFaultThenDiesByItsSignal) {
    vl_test::TempDir dir;
    const std::string log = dir.Path("crash.log");
    ASSERT_TRUE(vl_test::WriteFile(log, "earlier line\n"));
    platform::ProcessHandle handle;
    ASSERT_EQ(platform::LaunchAsSelf({sessions_test::ProbePath(), "crash", GetParam().kind, log},
                                     nullptr, handle),
              0u);
    std::uint32_t exitCode = 0;
    ASSERT_TRUE(handle.Wait(platform::kInfiniteWait, exitCode));
    EXPECT_EQ(exitCode, 128u + static_cast<std::uint32_t>(GetParam().signal));

    const std::string text = vl_test::ReadFile(log);
    const std::string head =
        std::string("earlier line\n!EX![Main]SE [") + GetParam().name + "] at address 0x";
    ASSERT_EQ(text.rfind(head, 0), 0u) << text;
    const std::size_t firstEnd = text.find('\n', head.size());
    const std::string first = text.substr(0, firstEnd);
    // A fault in the probe's own code is reported inside the probe executable.
    const std::string module = GetParam().kind == std::string("write")
                                   ? " inside " + sessions_test::ProbePath() + " loaded at"
                                   : " inside /";
    EXPECT_NE(first.find(module), std::string::npos) << first;
    EXPECT_NE(first.find(" loaded at base address 0x"), std::string::npos) << first;
    const std::string rest = text.substr(firstEnd + 1);
    if (GetParam().operation != nullptr) {
        EXPECT_EQ(rest,
                  std::string("Invalid operation: ") + GetParam().operation + " at address 0x0\n");
    } else {
        EXPECT_EQ(rest, "");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Faults, CrashHandlerTest,
    ::testing::Values(CrashCase{"write", SIGSEGV, "EXCEPTION_ACCESS_VIOLATION", "write"},
                      CrashCase{"read", SIGSEGV, "EXCEPTION_ACCESS_VIOLATION", "read"},
                      CrashCase{"divide", SIGFPE, "EXCEPTION_INT_DIVIDE_BY_ZERO", nullptr},
                      CrashCase{"abort", SIGABRT, "UNKNOWN EXCEPTION", nullptr},
                      CrashCase{"thread-overflow", SIGSEGV, "EXCEPTION_STACK_OVERFLOW", nullptr}),
    [](const auto& info) {
        std::string name = info.param.kind;
        name.erase(std::remove(name.begin(), name.end(), '-'), name.end());
        return name;
    });

}  // namespace
