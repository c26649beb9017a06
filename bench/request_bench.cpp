// Cost of answering the two requests that pages make most often, with the logger writing to a
// file at its shipped threshold (DEBUG) and at WARN, which shows what the log lines cost.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "base/config.h"
#include "base/logger.h"
#include "front/launch_daemon_core.h"

namespace {

const std::filesystem::path& BenchFolder() {
    static const std::filesystem::path folder = [] {
        auto path = std::filesystem::temp_directory_path() / "vl_request_bench";
        std::filesystem::remove_all(path);
        std::filesystem::create_directories(path);
        return path;
    }();
    return folder;
}

// Prepare restarts configuration and logger with the given LOGLEVEL value.
void Prepare(const std::string& level) {
    ::unsetenv("PMX_KTV_UUID");
    ::unsetenv("KtvConfPath");
    const std::filesystem::path conf = BenchFolder() / "launcher.conf";
    std::ofstream(conf) << "LOGLEVEL=" << level << "\n";
    Config::ResetForTests();
    Config::Init(conf.string());
    Logger::ResetForTests();
    Logger::SetStdoutCopy(false);
    Logger::Init("bench", (BenchFolder() / "logs").string(), "log");
}

const char* LevelName(std::int64_t arg) {
    return arg == 0 ? "debug" : "warn";
}

void BM_GetVersion(benchmark::State& state) {
    Prepare(LevelName(state.range(0)));
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            LaunchDaemonCore::HandleRequest("getVersion", "", "zorvidId=a&zorvid=b", "POST", true));
    }
    state.SetLabel(LevelName(state.range(0)));
}
BENCHMARK(BM_GetVersion)->Arg(0)->Arg(1);

void BM_IsDaemonBusy(benchmark::State& state) {
    Prepare(LevelName(state.range(0)));
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            LaunchDaemonCore::HandleRequest("isDaemonBusy", "", "", "POST", true));
    }
    state.SetLabel(LevelName(state.range(0)));
}
BENCHMARK(BM_IsDaemonBusy)->Arg(0)->Arg(1);

}  // namespace

int main(int argc, char** argv) {
    ::setenv("QVYLD_LOG_STDOUT", "0", 1);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::error_code ignored;
    std::filesystem::remove_all(BenchFolder(), ignored);
    return 0;
}
