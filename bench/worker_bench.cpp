// The user-session worker as the daemon sees it: the round trip of one cheap operation
// through UserExtension::RunOperation (a new pipe connection, the request, the reply, the
// parse), and the start of a worker until its first answer. The worker runs for a session
// of the running user (root when run as root), in a temporary runtime folder.
//
// Counters: median_us and p99_us over the iterations of each benchmark.
#include <benchmark/benchmark.h>
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "base/config.h"
#include "base/json/json.h"
#include "base/logger.h"
#include "session/user_extension.h"

namespace {

namespace fs = std::filesystem;

constexpr std::uint32_t kSession = 1;

// BenchContext gives the daemon side a session of the running user, a runtime folder and a
// quiet logger, all in a temporary folder.
class BenchContext {
  public:
    BenchContext()
        : folder_(fs::temp_directory_path() / ("vl_worker_bench_" + std::to_string(::getpid()))) {
        fs::create_directories(folder_ / "run");
        const passwd* self = ::getpwuid(::geteuid());
        std::ofstream(folder_ / "sessions.json")
            << "[{\"id\": " << kSession << ", \"user\": \"" << (self ? self->pw_name : "root")
            << "\", \"state\": 0}]";
        std::ofstream(folder_ / "bench.conf") << "LOGLEVEL=error\n";
        ::setenv("QVYLD_SESSION_FILE", (folder_ / "sessions.json").c_str(), 1);
        ::setenv("QVYLD_RUNTIME_DIR", (folder_ / "run").c_str(), 1);
        ::setenv("KtvConfPath", (folder_ / "bench.conf").c_str(), 1);
        ::unsetenv("PMX_KTV_UUID");
        Logger::SetStdoutCopy(false);
        Config::Init((folder_ / "bench.conf").string());
        Logger::Init("BENCH", folder_.string(), "bench");
    }
    ~BenchContext() {
        Logger::ResetForTests();
        std::error_code ec;
        fs::remove_all(folder_, ec);
    }

  private:
    fs::path folder_;
};

JSON::ItemPtr CheapRequest() {
    JSON::JSONDocument document;
    document.Parse(
        "{\"op\": \"run\", \"cinfo\": {\"cId\": \"bench\", \"cCas\": \"TGT-bench\"}, "
        "\"args\": {\"action\": \"checkFile\", \"path\": \"/\", \"kind\": 0, \"access\": 0}}");
    return document.Release();
}

double Microseconds(std::chrono::steady_clock::duration elapsed) {
    return std::chrono::duration<double, std::micro>(elapsed).count();
}

void Report(benchmark::State& state, std::vector<double>& samples) {
    if (samples.empty()) {
        return;
    }
    std::sort(samples.begin(), samples.end());
    state.counters["median_us"] = samples[samples.size() / 2];
    state.counters["p99_us"] = samples[std::min(samples.size() - 1, samples.size() * 99 / 100)];
}

void BM_RoundTrip(benchmark::State& state) {
    BenchContext context;
    UserExtension extension(kSession);
    const JSON::ItemPtr request = CheapRequest();
    JSON::ItemPtr reply;
    if (!extension.RunOperation(request.get(), reply)) {
        state.SkipWithError("the worker does not answer");
        return;
    }
    std::vector<double> samples;
    samples.reserve(static_cast<std::size_t>(state.max_iterations));
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        const bool answered = extension.RunOperation(request.get(), reply);
        samples.push_back(Microseconds(std::chrono::steady_clock::now() - start));
        if (!answered) {
            state.SkipWithError("an operation failed");
            break;
        }
    }
    Report(state, samples);
    extension.Stop();
}
BENCHMARK(BM_RoundTrip)->Iterations(10000)->Unit(benchmark::kMicrosecond);

// BM_WorkerStart times a start up to the first answer; the stop is not counted.
void BM_WorkerStart(benchmark::State& state) {
    BenchContext context;
    const JSON::ItemPtr request = CheapRequest();
    std::vector<double> samples;
    for (auto _ : state) {
        UserExtension extension(kSession);
        JSON::ItemPtr reply;
        const auto start = std::chrono::steady_clock::now();
        const bool answered = extension.RunOperation(request.get(), reply);
        samples.push_back(Microseconds(std::chrono::steady_clock::now() - start));
        state.PauseTiming();
        extension.Stop();
        state.ResumeTiming();
        if (!answered) {
            state.SkipWithError("the worker does not answer");
            break;
        }
    }
    Report(state, samples);
}
BENCHMARK(BM_WorkerStart)->Iterations(50)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
