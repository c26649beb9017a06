// Installation discovery as a page gets it: the operation (registry scan, records, JSON
// objects) and the text of its result array, for 10, 100 and 1,000 installations in a
// temporary store. "Warm" reads the parsed store from the cache; "Cold" rewrites the store
// file before each run, so that it is parsed again. The logger writes to a temporary folder at
// WARN (the operation's own lines are filtered out) or at DEBUG (every line reaches the file,
// among them the running array after each record).
#include <benchmark/benchmark.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "base/config.h"
#include "base/json/json.h"
#include "base/logger.h"
#include "base/zorvid_request_info.h"
#include "core/functionnal_core.h"
#include "platform/registry.h"

namespace {

namespace fs = std::filesystem;

class Workspace {
  public:
    Workspace(int installs, const std::string& logLevel)
        : root_(fs::temp_directory_path() / ("vl_discovery_bench_" + std::to_string(installs))) {
        fs::remove_all(root_);
        fs::create_directories(root_ / "registry");
        std::ofstream(root_ / "launcher.conf") << "LOGLEVEL=" << logLevel << "\n";
        Logger::SetStdoutCopy(false);
        Logger::ResetForTests();
        Config::ResetForTests();
        Config::Init((root_ / "launcher.conf").string());
        Logger::Init("BENCH", (root_ / "log").string(), "bench");
        platform::SetRegistryLocation((root_ / "registry").string());
        text_ = StoreText(installs);
        WriteStore();
    }
    ~Workspace() {
        platform::SetRegistryLocation("");
        Logger::ResetForTests();
        Config::ResetForTests();
        fs::remove_all(root_);
    }

    // WriteStore replaces the store file, as an installer would.
    void WriteStore() const {
        const fs::path temp = root_ / "registry" / "HKLM64.reg.new";
        std::ofstream(temp, std::ios::binary) << text_;
        fs::rename(temp, root_ / "registry" / "HKLM64.reg");
    }

  private:
    // StoreText spreads the installations over 2 GA levels and 5 types, each with processes,
    // product lines and two applications.
    std::string StoreText(int installs) const {
        std::string text = "Windows Registry Editor Version 5.00\n\n";
        for (int i = 0; i < installs; ++i) {
            const std::string n = std::to_string(i);
            const std::string ga = i % 2 == 0 ? "L24" : "L25";
            const std::string key = "[HKEY_LOCAL_MACHINE\\Software\\Quorvanti\\Z5\\" + ga +
                                    "\\TYPE" + std::to_string(i % 5) + "\\ID" + n;
            const fs::path folder = root_ / "installs" / n;
            fs::create_directories(folder);
            text += key + "]\n\"Level\"=\"" + ga + ".HF" + n + "\"\n\"Path\"=\"" + folder.string() +
                    "\"\n\"Osds\"=\"linux_a64\"\n\"PkgId\"=\"B" + n + "\"\n\"GAlevel\"=\"" + ga +
                    "\"\n\"SPlevel\"=\"SP1\"\n\"ShortName\"=\"P" + n +
                    "\"\n\"LongName\"=\"Product number " + n +
                    "\"\n\"Type\"=\"full\"\n\"BigContent\"=\"true\"\n"
                    "\"ProductLine\"=\"A,B,C\"\n\n";
            text += key + "\\prd]\n\"proc1.exe\"=\"\"\n\"proc2.exe\"=\"\"\n\n";
            text += key + "\\xtra]\n\"extra.exe\"=\"\"\n\n";
            text += key + "\\app\\APP1]\n\"brand\"=\"BR\"\n\"wb\"=\"WB1\"\n\n";
            text += key + "\\app\\APP2]\n\"brand\"=\"BR\"\n\"wb\"=\"WB2\"\n\n";
        }
        return text;
    }

    fs::path root_;
    std::string text_;
};

// DiscoveryAnswer runs the operation as the dispatcher does and prints its result document.
std::string DiscoveryAnswer() {
    const ZorvidRequestInfo request("bench");
    JSON::JSONObject params;
    JSON::JSONDocument result;
    FunctionnalCore::DiscoverAllInstall(request, &params, result);
    return result.ToString();
}

void Run(benchmark::State& state, const std::string& logLevel, bool cold) {
    const int installs = static_cast<int>(state.range(0));
    Workspace workspace(installs, logLevel);
    std::size_t bytes = 0;
    for (auto _ : state) {
        if (cold) {
            state.PauseTiming();
            workspace.WriteStore();
            state.ResumeTiming();
        }
        const std::string answer = DiscoveryAnswer();
        bytes = answer.size();
        benchmark::DoNotOptimize(answer.data());
    }
    state.counters["answer_bytes"] = static_cast<double>(bytes);
}

void BM_DiscoveryWarm(benchmark::State& state) {
    Run(state, "warn", false);
}
void BM_DiscoveryCold(benchmark::State& state) {
    Run(state, "warn", true);
}
void BM_DiscoveryWarmDebugLog(benchmark::State& state) {
    Run(state, "debug", false);
}

BENCHMARK(BM_DiscoveryWarm)->Arg(10)->Arg(100)->Arg(1000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DiscoveryCold)->Arg(10)->Arg(100)->Arg(1000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DiscoveryWarmDebugLog)->Arg(10)->Arg(100)->Arg(1000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
