// The tray channel as a tray sees it: one message written to the daemon's pipe until the
// daemon has dealt with it (connect, write, the daemon's accept, bounded read, parse, access
// rule, operation, log line), side by side with the bare transport: the same connect and
// write to a plain AF_UNIX packet socket served by a thread that only accepts and reads.
//
// Counters: median_us and p99_us over the iterations of each benchmark.
#include <benchmark/benchmark.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "base/config.h"
#include "base/folders.h"
#include "base/logger.h"
#include "platform/message_pipe.h"
#include "session/companions.h"
#include "session/shared_data.h"

namespace {

namespace fs = std::filesystem;

void Report(benchmark::State& state, std::vector<double>& samples) {
    std::sort(samples.begin(), samples.end());
    if (!samples.empty()) {
        state.counters["median_us"] = samples[samples.size() / 2];
        state.counters["p99_us"] = samples[samples.size() * 99 / 100];
    }
}

double Since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
        .count();
}

// Context runs the daemon's tray channel in a temporary folder with a quiet logger.
class Context {
  public:
    Context()
        : folder_(fs::temp_directory_path() / ("vl_tray_bench_" + std::to_string(::getpid()))) {
        fs::create_directories(folder_);
        std::ofstream(folder_ / "sessions.json") << "[]";
        ::setenv("QVYLD_RUNTIME_DIR", (folder_ / "run").c_str(), 1);
        ::setenv("QVYLD_SESSION_FILE", (folder_ / "sessions.json").c_str(), 1);
        ::setenv("PMX_KTV_TMP", folder_.c_str(), 1);
        ::setenv("QVYLD_LOG_STDOUT", "0", 1);
        FileAndFoldersManager::Init(FolderContext::TEST_HARNESS);
        std::string log;
        FileAndFoldersManager::GetFolder(Folder::LOG, log, true);
        Logger::Init("bench", log, "bench");
        SharedData::Start();
    }
    ~Context() {
        SharedData::Stop();
        std::error_code ec;
        fs::remove_all(folder_, ec);
    }
    std::string Root() const { return (folder_ / "run").string(); }

  private:
    fs::path folder_;
};

Context& Shared() {
    static Context context;
    return context;
}

void BM_TrayMessageRoundTrip(benchmark::State& state) {
    Shared();
    std::vector<double> samples;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        const std::uint64_t before = SharedData::MessagesServed();
        platform::PipeConnection pipe;
        std::size_t written = 0;
        if (platform::ConnectSharedPipe(Companions::kTrayPipeName, pipe) != 0 ||
            pipe.Write("{\"closingSession\": 77}", written) != 0) {
            state.SkipWithError("the tray pipe refused the message");
            return;
        }
        while (SharedData::MessagesServed() == before) {
            std::this_thread::yield();
        }
        samples.push_back(Since(start));
    }
    Report(state, samples);
}

void BM_BareSocketRoundTrip(benchmark::State& state) {
    const std::string path = Shared().Root() + "/bench_reference.sock";
    ::unlink(path.c_str());
    const int server = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    if (::bind(server, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(server, 16) != 0) {
        state.SkipWithError("no reference socket");
        ::close(server);
        return;
    }
    std::atomic<std::uint64_t> served{0};
    std::thread reader([server, &served] {
        char buffer[4097];
        for (int client; (client = ::accept4(server, nullptr, nullptr, SOCK_CLOEXEC)) >= 0;) {
            if (::recv(client, buffer, sizeof buffer, 0) < 0) {
                ::close(client);
                break;
            }
            ::close(client);
            ++served;
        }
    });
    std::vector<double> samples;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        const std::uint64_t before = served;
        const int client = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        ::connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address);
        const char message[] = "\0{\"closingSession\": 77}";
        ::send(client, message, sizeof message - 1, MSG_NOSIGNAL);
        ::close(client);
        while (served == before) {
            std::this_thread::yield();
        }
        samples.push_back(Since(start));
    }
    ::shutdown(server, SHUT_RDWR);
    ::close(server);
    reader.join();
    ::unlink(path.c_str());
    Report(state, samples);
}

BENCHMARK(BM_TrayMessageRoundTrip)->UseRealTime();
BENCHMARK(BM_BareSocketRoundTrip)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
