// The worker's media download and archive unpacking as the daemon drives them: one request
// through a real worker (started in the daemon's context, the test harness's way), timed
// from the request to the reply, once per program run. bench/webops/run.sh prepares the server and
// the files and compares with the curl command line and bsdtar; run alone, both benchmarks skip.
//
//   VL_BENCH_MEDIA_URL, VL_BENCH_MEDIA_MD5, VL_BENCH_MEDIA_SIZE, VL_BENCH_DEST: the media
//   VL_BENCH_ARCHIVE: the archive to unpack (into the user's UNZIP folder)
//   QVYLD_TEST_CA_FILE: the authority of the local server's certificate
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "base/config.h"
#include "base/logger.h"
#include "base/zorvid_request_info.h"
#include "session/operations_as_user.h"
#include "session/operations_as_user_web.h"
#include "session/shared_data.h"
#include "session/user_extension.h"

namespace {

namespace fs = std::filesystem;

std::string Env(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

class BenchContext {
  public:
    BenchContext()
        : folder_(fs::temp_directory_path() / ("vl_webops_bench_" + std::to_string(::getpid()))) {
        fs::create_directories(folder_ / "run");
        std::ofstream(folder_ / "sessions.json")
            << "[{\"id\": 1, \"user\": \"vl_no_such_user\", \"state\": 0}]";
        std::ofstream(folder_ / "bench.conf") << "LOGLEVEL=warn\nIGNORE_TOKEN_ERROR\n";
        ::setenv("QVYLD_SESSION_FILE", (folder_ / "sessions.json").c_str(), 1);
        ::setenv("QVYLD_RUNTIME_DIR", (folder_ / "run").c_str(), 1);
        ::setenv("KtvConfPath", (folder_ / "bench.conf").c_str(), 1);
        ::setenv("PMX_KTV_UUID", "webops-bench", 1);
        const fs::path self = fs::read_symlink("/proc/self/exe");
        ::setenv("KTV_LAUNCHER_GUIEXE_PATH", (self.parent_path() / "VantaroLauncherGUI").c_str(),
                 1);
        Logger::SetStdoutCopy(false);
        Config::Init((folder_ / "bench.conf").string());
        Logger::Init("BENCH", folder_.string(), "bench");
    }
    ~BenchContext() {
        SharedData::Stop();
        Logger::ResetForTests();
        std::error_code ec;
        fs::remove_all(folder_, ec);
    }

  private:
    fs::path folder_;
};

const ZorvidRequestInfo& Identity() {
    static const ZorvidRequestInfo identity("bench", "TGT-bench", "", "", "", "2.6");
    return identity;
}

// StartWorker has the worker running before the clock starts.
void StartWorker() {
    bool exists = false;
    Operations::AsUser::MakeFolderAsUser(Identity(), fs::temp_directory_path().string(), exists);
}

void BM_DownloadThroughWorker(benchmark::State& state) {
    const std::string url = Env("VL_BENCH_MEDIA_URL");
    const std::string dest = Env("VL_BENCH_DEST");
    if (url.empty() || dest.empty()) {
        state.SkipWithError("VL_BENCH_MEDIA_URL / VL_BENCH_DEST not set (bench/webops/run.sh)");
        return;
    }
    BenchContext context;
    StartWorker();
    const std::string name = url.substr(url.find_last_of('/') + 1);
    const std::string media =
        "{\"fileName\":\"" + name + "\",\"downloadLink\":\"" + url + "\",\"hash\":\"" +
        Env("VL_BENCH_MEDIA_MD5") +
        "\",\"hashAlgorithmLabel\":\"MD5\",\"size\":" + Env("VL_BENCH_MEDIA_SIZE") + "}";
    for (auto _ : state) {
        state.PauseTiming();
        std::error_code ec;
        fs::remove(fs::path(dest) / name, ec);
        state.ResumeTiming();
        std::string output = dest;
        std::int32_t result = -1;
        const std::uint32_t code =
            Operations::AsUser::DownloadMediaAsUser(Identity(), output, media, result);
        if (code != 0 || result != 0) {
            const std::string why =
                "the download failed (" + std::to_string(code) + "/" + std::to_string(result) + ")";
            state.SkipWithError(why.c_str());
            return;
        }
    }
    state.SetBytesProcessed(state.iterations() * std::stoll(Env("VL_BENCH_MEDIA_SIZE")));
}
BENCHMARK(BM_DownloadThroughWorker)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

void BM_UnzipThroughWorker(benchmark::State& state) {
    const std::string archive = Env("VL_BENCH_ARCHIVE");
    if (archive.empty()) {
        state.SkipWithError("VL_BENCH_ARCHIVE not set (bench/webops/run.sh)");
        return;
    }
    BenchContext context;
    StartWorker();
    for (auto _ : state) {
        std::string output;
        std::int32_t result = -1;
        const std::uint32_t code =
            Operations::AsUser::UnzipAsUser(Identity(), archive, output, result);
        if (code != 0 || result != 0) {
            const std::string why = "the unpacking failed (" + std::to_string(code) + "/" +
                                    std::to_string(result) + ")";
            state.SkipWithError(why.c_str());
            return;
        }
        // The next run starts from an empty folder, as bsdtar does in the comparison.
        state.PauseTiming();
        std::error_code ec;
        for (const fs::directory_entry& child : fs::directory_iterator(output, ec)) {
            fs::remove_all(child.path(), ec);
        }
        state.ResumeTiming();
    }
}
BENCHMARK(BM_UnzipThroughWorker)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
