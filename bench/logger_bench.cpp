// Cost of the logger's hot paths. Every direct line opens, appends to and closes the day's
// file, so BM_DirectLine is dominated by those three system calls.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <memory>
#include <string>

#include "base/config.h"
#include "base/logger.h"
#include "base/toolbox.h"

namespace {

class LogFolder {
  public:
    LogFolder() : path_(std::filesystem::temp_directory_path() / "vl_logger_bench") {
        std::filesystem::remove_all(path_);
        Logger::SetStdoutCopy(false);
        Logger::ResetForTests();
        Config::ResetForTests();
        Config::Init((path_ / "none.conf").string());
        Logger::Init("BENCH", path_.string(), "bench");
    }
    ~LogFolder() {
        Logger::ResetForTests();
        std::filesystem::remove_all(path_);
    }

  private:
    std::filesystem::path path_;
};

const std::string kMessage =
    "[LoggerBench::Run] a typical message of the daemon, about one hundred bytes long....";

void BM_DirectLine(benchmark::State& state) {
    LogFolder folder;
    for (auto _ : state) {
        Logger::Info(kMessage);
    }
}
BENCHMARK(BM_DirectLine);

void BM_DeferredThenDirect(benchmark::State& state) {
    LogFolder folder;
    for (auto _ : state) {
        Logger::DebugDeferred(kMessage);
        Logger::Info(kMessage);
    }
}
BENCHMARK(BM_DeferredThenDirect);

void BM_BelowThreshold(benchmark::State& state) {
    LogFolder folder;
    for (auto _ : state) {
        Logger::Internal(kMessage);
    }
}
BENCHMARK(BM_BelowThreshold);

void BM_DirectLineFourThreads(benchmark::State& state) {
    // Shared by the benchmark's threads; the loop's start and end are barriers.
    static std::unique_ptr<LogFolder> folder;
    if (state.thread_index() == 0) {
        folder = std::make_unique<LogFolder>();
    }
    for (auto _ : state) {
        Logger::Info(kMessage);
    }
    if (state.thread_index() == 0) {
        folder.reset();
    }
}
BENCHMARK(BM_DirectLineFourThreads)->Threads(4)->UseRealTime();

void BM_FormatTime(benchmark::State& state) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(ToolBox::FormatTime(std::nullopt, true, true, "%Y_%m_%d-%H%M%S"));
    }
}
BENCHMARK(BM_FormatTime);

}  // namespace

BENCHMARK_MAIN();
