// The real worker, spoken to through its pipe on every system: the test harness's way, for a
// session without a user's token, so that the worker runs in the test's own context (what
// Wine gives on Windows). Its commands are the fake worker's "exit", "sleep" and "hold".
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <future>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "base/zorvid_request_info.h"
#include "platform/runtime_folder.h"
#include "platform/window_messages.h"
#include "session/companions.h"
#include "session/operations_as_user.h"
#include "session/operations_local.h"
#include "worker_env.h"

namespace {

namespace AsUser = Operations::AsUser;
namespace fs = std::filesystem;

// ReceiveWithin waits up to half a minute for a message to the window.
std::uint32_t ReceiveWithin(platform::MessageWindow& window, platform::WindowMessage& message) {
    std::promise<void> received;
    auto watchdog = std::async(std::launch::async, [&window, done = received.get_future()] {
        if (done.wait_for(std::chrono::seconds(30)) == std::future_status::timeout) {
            window.Interrupt();
        }
    });
    const std::uint32_t error = window.Receive(message);
    received.set_value();
    return error;
}

class RealWorkerTest : public worker_test::HarnessWorkerEnv {
  protected:
    void SetUp() override {
        HarnessWorkerEnv::SetUp();
        SetEnv("KTV_LAUNCHER_GUIEXE_PATH", worker_test::WorkerPath());
        ASSERT_EQ(platform::PrepareRuntimeFolder(platform::RuntimeOwner::Self()), 0u);
    }

    // Worker is the session's worker, started by a first operation.
    std::shared_ptr<UserExtension> Worker() {
        bool exists = false;
        EXPECT_EQ(AsUser::CheckFile(identity_, Path(""), 0, 0, exists), 0u);
        return SharedData::GetExtensionForSession(kSession);
    }

    static std::vector<std::string> Fake(const std::vector<std::string>& args) {
        std::vector<std::string> command = {worker_test::FakePath()};
        command.insert(command.end(), args.begin(), args.end());
        return command;
    }

    const ZorvidRequestInfo identity_{"page-1"};
};

// Each operation of the protocol, and its refusals: the reply's rc and content come back.
TEST_F(RealWorkerTest, OperationsAndRefusalsOverThePipe) {
    ASSERT_TRUE(vl_test::WriteFile(Path("file"), "x"));
    using Companions::kCheckKindFile;
    using Companions::kCheckKindFolder;
    const struct {
        std::string path;
        std::int32_t kind;
        bool expected;
    } checks[] = {
        {Path("file"), kCheckKindFile, true},
        {Path("file"), kCheckKindFolder, false},
        {Path(""), kCheckKindFolder, true},
        {Path("missing"), 0, false},
    };
    for (const auto& c : checks) {
        bool result = !c.expected;
        EXPECT_EQ(AsUser::CheckFile(identity_, c.path, c.kind, 4, result), 0u) << c.path;
        EXPECT_EQ(result, c.expected) << c.path << " " << c.kind;
    }
    bool made = false;
    ASSERT_EQ(AsUser::MakeFolderAsUser(identity_, Path("made/a/b"), made), 0u);
    EXPECT_TRUE(made);
    EXPECT_TRUE(fs::is_directory(Path("made/a/b")));

    const struct {
        std::string verb;
        std::string args;
    } malformed[] = {
        {"url", "5"},
        {"run", "{\"action\":\"dance\"}"},
        {"run", "{\"action\":\"checkFile\",\"path\":\"/\"}"},
        {"run", "{\"action\":\"Execute\",\"cmd\":[]}"},
        {"jump", "{}"},
    };
    for (const auto& c : malformed) {
        JSON::JSONDocument args;
        ASSERT_EQ(args.Parse("[" + c.args + "]"), 0) << c.args;
        JSON::ItemPtr content;
        EXPECT_EQ(
            AsUser::RunOperationByUserExtension(identity_, c.verb, args.Root()->GetAt(0), content),
            10u)
            << c.verb << " " << c.args;
    }
}

TEST_F(RealWorkerTest, ExecuteWaitsAsAsked) {
    const struct {
        std::vector<std::string> command;
        std::int32_t timeoutMs;
        std::uint32_t result;
        std::uint32_t exitCode;
    } cases[] = {
        {Fake({"exit", "7"}), -1, 0, 7},
        {Fake({"exit", "3"}), 5000, 0, 3},
        {Fake({"sleep", "1000"}), 0, 0, 0},  // not waited for: exit code 0
        {Fake({"sleep", "10000"}), 300, Companions::kReplyFailed, 99},
        {{Path("no_such_program")}, -1, Companions::kReplyFailed, 99},
    };
    for (const auto& c : cases) {
        std::uint32_t exitCode = 99;
        EXPECT_EQ(AsUser::ExecuteCommandAsUser(identity_, c.command, exitCode, c.timeoutMs, false),
                  c.result)
            << c.command.back() << " " << c.timeoutMs;
        EXPECT_EQ(exitCode, c.exitCode) << c.command.back() << " " << c.timeoutMs;
    }
}

// Long operations (downloads, setup programs, dialogs) run side by side, a bounded number
// at once; one past the bound waits for its turn.
TEST_F(RealWorkerTest, LongOperationsQueueBeyondTheBound) {
    const auto marker = [this](std::size_t i, const char* kind) {
        return Path("ops/" + std::to_string(i) + kind);
    };
    fs::create_directories(Path("ops"));
    const std::size_t total = Companions::kWorkerOperationsAtOnce + 1;
    const auto started = [&] {
        std::vector<std::size_t> which;
        for (std::size_t i = 0; i < total; ++i) {
            if (fs::exists(marker(i, ".started"))) {
                which.push_back(i);
            }
        }
        return which;
    };
    const auto awaitStarted = [&started](std::size_t expected) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (started().size() < expected && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return started().size();
    };
    std::vector<std::future<std::uint32_t>> runs;
    for (std::size_t i = 0; i < total; ++i) {
        const auto command = Fake({"hold", marker(i, ".started"), marker(i, ".go")});
        runs.push_back(std::async(std::launch::async, [this, command] {
            std::uint32_t exitCode = 99;
            return AsUser::ExecuteCommandAsUser(identity_, command, exitCode, -1, false) + exitCode;
        }));
    }
    EXPECT_EQ(awaitStarted(total - 1), total - 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const std::vector<std::size_t> first = started();
    EXPECT_EQ(first.size(), total - 1) << "no more run at once";
    if (!first.empty()) {
        vl_test::WriteFile(marker(first.front(), ".go"), "");
    }
    EXPECT_EQ(awaitStarted(total), total) << "the waiting one got its turn";
    for (std::size_t i = 0; i < total; ++i) {
        vl_test::WriteFile(marker(i, ".go"), "");
    }
    for (auto& run : runs) {
        EXPECT_EQ(run.get(), 0u);
    }
}

// Many short operations at once share the one worker.
TEST_F(RealWorkerTest, ConcurrentOperationsShareTheWorker) {
    const auto worker = Worker();
    const std::uint32_t pid = worker->GetProcessId();
    ASSERT_NE(pid, 0u);
    std::vector<std::future<int>> runs;
    for (int thread = 0; thread < 4; ++thread) {
        runs.push_back(std::async(std::launch::async, [this] {
            int failures = 0;
            for (int i = 0; i < 25; ++i) {
                bool exists = false;
                failures += AsUser::CheckFile(identity_, Path(""), 0, 0, exists) != 0 || !exists;
            }
            return failures;
        }));
    }
    for (auto& run : runs) {
        EXPECT_EQ(run.get(), 0);
    }
    EXPECT_EQ(worker->GetProcessId(), pid);
}

TEST_F(RealWorkerTest, AKilledWorkerIsReplacedUnderANewName) {
    const auto worker = Worker();
    const std::uint32_t first = worker->GetProcessId();
    const std::string firstPipe = worker->GetPipeName();
    ASSERT_TRUE(vl_test::KillProcess(first));
    ASSERT_TRUE(worker_test::WaitUntilGone(first));
    worker_test::WaitForNextSecond();

    bool exists = false;
    ASSERT_EQ(AsUser::CheckFile(identity_, Path(""), 0, 0, exists), 0u);
    EXPECT_TRUE(exists);
    EXPECT_NE(worker->GetProcessId(), first);
    EXPECT_NE(worker->GetPipeName(), firstPipe);
}

// Window messages between processes: the worker posts a status to a window of this process
// when the daemon asks it, and the GUI executable's "postStatus" command (how the worker is
// told to stop) posts from a process of its own, here from a folder with blanks.
TEST_F(RealWorkerTest, WindowsGetWhatOtherProcessesPost) {
    platform::MessageWindow window;
    ASSERT_EQ(window.Create("RealWorkerTestWindow"), 0u);
    EXPECT_EQ(AsUser::PostMessageToWindowAsUser(identity_, "RealWorkerTestWindow", 1035, 2, -3),
              0u);
    platform::WindowMessage message;
    ASSERT_EQ(ReceiveWithin(window, message), 0u);
    EXPECT_EQ(message.message, 1035u);
    EXPECT_EQ(message.wparam, 2u);
    EXPECT_EQ(message.lparam, -3);

    EXPECT_FALSE(Operations::Local::PostMessageToWindow("NoSuchClass", 1049, 0, 0));
    EXPECT_TRUE(
        Logged("[Operations::Local::PostMessageToWindow]Fail to find window  with this name : "
               "NoSuchClass"));
    const std::string gui = Path("Vantaro Launcher/" + Companions::GuiExecutableName());
    fs::create_directories(Path("Vantaro Launcher"));
    std::error_code linkError;
    fs::create_hard_link(worker_test::WorkerPath(), gui, linkError);
    if (linkError) {
        fs::copy_file(worker_test::WorkerPath(), gui);
    }
    const std::string text = Companions::PostStatusText("RealWorkerTestWindow", 1049, -2, 1);
    std::uint32_t exitCode = 99;
    ASSERT_TRUE(Operations::Local::ExecuteCmd(Companions::PostStatusCommand(gui, text), exitCode,
                                              false, 5000));
    ASSERT_EQ(exitCode, 0u);
    ASSERT_EQ(ReceiveWithin(window, message), 0u);
    EXPECT_EQ(message.message, 1049u);
    EXPECT_EQ(message.wparam, 1u);
    EXPECT_EQ(message.lparam, -2);
}

}  // namespace
