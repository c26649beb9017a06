// End-to-end media installation through the real daemon, worker and simulated setup
// program, from the local catalogue stand-in (https), beside the same work done by
// curl -o, md5sum and bsdtar -x on the same archive in the same run. Root is needed (a
// throwaway session user). The media holds MEDIA_MB megabytes (default 1024), half of them
// incompressible; VL_STANDIN_RATE (bytes a second) paces the stand-in's downloads to a line
// rate. Each run reports its phases (seconds) as counters: download (the MD5 is
// computed while the bytes arrive), extraction and setup for the daemon; download,
// verification and extraction for the reference tools.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "media/media_site.h"

namespace {

using Clock = std::chrono::steady_clock;
using vl_test::UserSite;

std::size_t MediaMegabytes() {
    const char* text = std::getenv("MEDIA_MB");
    return text != nullptr && std::atoi(text) > 0 ? static_cast<std::size_t>(std::atoi(text))
                                                  : 1024;
}

// MakeMedia writes the archive once: half random bytes, half a repeated text.
bool MakeMedia(const std::string& folder) {
    static bool made = false;
    if (made) {
        return true;
    }
    const std::size_t half = MediaMegabytes() / 2;
    const std::string random = folder + "/random.bin";
    const std::string repeated = folder + "/repeated.bin";
    const std::string command = "head -c " + std::to_string(half) + "M /dev/urandom >'" + random +
                                "' && yes vantaro-media | head -c " + std::to_string(half) +
                                "M >'" + repeated + "'";
    if (std::system(command.c_str()) != 0) {
        return false;
    }
    catalogue_test::MediaArchive media = media_test::Media("BENCH.zip", "BENCH_L24");
    media.files = {{"data/random.bin", random}, {"data/repeated.bin", repeated}};
    made = media_test::Catalogue().MakeMedia(media) &&
           media_test::Catalogue().SetRules(
               R"([{"params": {"onlineInstanceID": "OI-BENCH"}, "media": ["BENCH.zip"]}])");
    // The stand-in computes an archive's MD5 at its first description: not the daemon's time.
    const std::string warm = "curl -s -o /dev/null --cacert '" + media_test::Catalogue().CaFile() +
                             "' -d '{\"method\": \"MediaV4::find\", \"params\": "
                             "{\"onlineInstanceID\": \"OI-BENCH\"}, \"id\": 1}' '" +
                             media_test::Catalogue().Url() + "'";
    made = made && std::system(warm.c_str()) == 0;
    return made;
}

double Seconds(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double>(to - from).count();
}

// LogTime is the time of day (seconds) of the last log line that holds text.
double LogTime(const std::string& log, const std::string& text) {
    const std::size_t at = log.rfind(text);
    const std::size_t line = at == std::string::npos ? std::string::npos : log.rfind("\n<", at);
    if (line == std::string::npos) {
        return 0;
    }
    // <YYYY_MM_DD-HHMMSS.mmm+zone...
    const std::string stamp = log.substr(line + 13, 10);
    return std::stoi(stamp.substr(0, 2)) * 3600.0 + std::stoi(stamp.substr(2, 2)) * 60.0 +
           std::stod(stamp.substr(4, 6));
}

void BM_DaemonInstall(benchmark::State& state) {
    std::string why;
    UserSite* site = media_test::Site(why);
    if (site == nullptr || !MakeMedia(site->UserFolder())) {
        state.SkipWithError(("no site: " + why).c_str());
        return;
    }
    int run = 0;
    for (auto _ : state) {
        // What the last run left (its installation and the stored media) is removed before
        // the clock starts, as the reference tools' folder is: replacing it is no part of an
        // installation's work.
        std::system(("rm -rf '" + site->UserFolder() + "'/bench* '" + site->DataFolder() +
                     "/defaultDataStore/Media/BENCH.zip'")
                        .c_str());
        const std::string target = site->UserFolder() + "/bench" + std::to_string(run++);
        const std::string params =
            R"({"processToInstallForOid": [{"oiid": "OI-BENCH", "process": ["DSG"]}],)"
            R"( "release": "L24", "webServiceURL": ")" +
            media_test::Catalogue().Url() + R"(", "defaultTargetPath": ")" + target + "\"}";
        const Clock::time_point start = Clock::now();
        const int code = site->Call("installMedia", params).returnCode;
        state.SetIterationTime(Seconds(start, Clock::now()));
        if (code != 0) {
            state.SkipWithError(("installMedia answered " + std::to_string(code)).c_str());
            return;
        }
        const std::string log = site->Log();
        if (const char* keep = std::getenv("MEDIA_BENCH_LOG"); keep != nullptr) {
            std::ofstream(keep) << log;  // the daemon's log, to study the phases
        }
        const double begin = LogTime(log, "installing the media belonging to this archive");
        const double downloaded = LogTime(log, "media downloaded and verified");
        const double unpacked = LogTime(log, "media unpacked");
        state.counters["download_verify_s"] = downloaded - begin;
        state.counters["extract_s"] = unpacked - downloaded;
        const double ended = LogTime(log, "installer ended");
        state.counters["setup_s"] = ended - unpacked;
        // Catalogue call, remote log opening and folders before; remote log and cleaning after.
        state.counters["before_s"] = begin - LogTime(log, "INSTALL FUNCTION STARTED");
        state.counters["after_s"] = LogTime(log, "INSTALL FUNCTION ENDED") - ended;
    }
}

void BM_CurlMd5Bsdtar(benchmark::State& state) {
    std::string why;
    UserSite* site = media_test::Site(why);
    if (site == nullptr || !MakeMedia(site->UserFolder())) {
        state.SkipWithError(("no site: " + why).c_str());
        return;
    }
    const std::string folder = site->UserFolder() + "/reference";
    for (auto _ : state) {
        std::system(("rm -rf '" + folder + "' && mkdir -p '" + folder + "/x'").c_str());
        const Clock::time_point start = Clock::now();
        const bool ok = std::system(("curl -s --cacert '" + media_test::Catalogue().CaFile() +
                                     "' -o '" + folder + "/m.zip' '" +
                                     media_test::Catalogue().Url("/media/BENCH.zip") + "'")
                                        .c_str()) == 0;
        const Clock::time_point fetched = Clock::now();
        std::system(("md5sum '" + folder + "/m.zip' >/dev/null").c_str());
        const Clock::time_point verified = Clock::now();
        std::system(("bsdtar -xf '" + folder + "/m.zip' -C '" + folder + "/x'").c_str());
        const Clock::time_point extracted = Clock::now();
        if (!ok) {
            state.SkipWithError("curl failed");
            return;
        }
        state.SetIterationTime(Seconds(start, extracted));
        state.counters["download_s"] = Seconds(start, fetched);
        state.counters["verify_s"] = Seconds(fetched, verified);
        state.counters["extract_s"] = Seconds(verified, extracted);
    }
}

BENCHMARK(BM_DaemonInstall)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CurlMd5Bsdtar)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
