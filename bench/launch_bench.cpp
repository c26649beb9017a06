// The time the daemon adds to a launch and to a shortcut, and its memory over many launches.
// Runs as root: the daemon serves a throwaway user's session, with the simulated product.
//
// BM_Launch: from sending "startZ5" on a kept-alive HTTPS connection to the application's
// first instruction (its "started_ns"), with the worker already running; median and p99 of
// 50 launches. BM_DirectStart is the reference in the same run: the same application
// started directly with posix_spawn, to its first instruction.
// BM_Shortcut: "createShortcut" round trips (the desktop entry is written before the answer).
// BM_Memory: resident memory of the daemon and the worker after 1,000 more launches.
#include <benchmark/benchmark.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "support/site/user_site.h"

extern char** environ;

namespace {

using vl_test::UserSite;

long long NowNs() {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

UserSite* Site(benchmark::State& state) {
    std::string why;
    UserSite* site = vl_test::UserSite::Get(why, {"LOGLEVEL=info"});
    if (site == nullptr) {
        state.SkipWithError(why.c_str());
    }
    return site;
}

void Percentiles(benchmark::State& state, std::vector<double> ms) {
    if (ms.empty()) {
        return;
    }
    std::sort(ms.begin(), ms.end());
    state.counters["median_ms"] = ms[ms.size() / 2];
    state.counters["p99_ms"] = ms[std::min(ms.size() - 1, ms.size() * 99 / 100)];
}

double StartedAfter(const std::string& report, long long sent) {
    const auto seen = vl_test::WaitForReport(report);
    const auto it = seen.find("started_ns");
    return it == seen.end() ? -1 : static_cast<double>(std::stoll(it->second) - sent) / 1e6;
}

std::string LaunchParams(const std::string& report) {
    return R"({"level": "L24.4", "exeName": "designstudio", "argString": )" +
           vl_test::Json("--report=" + report) + "}";
}

void BM_Launch(benchmark::State& state) {
    UserSite* site = Site(state);
    if (site == nullptr) {
        return;
    }
    site->Call("startZ5", LaunchParams(site->UserFolder() + "/warm.txt"), true);
    std::vector<double> ms;
    int n = 0;
    for (auto _ : state) {
        const std::string report = site->UserFolder() + "/bench" + std::to_string(n++) + ".txt";
        const long long sent = NowNs();
        if (site->Call("startZ5", LaunchParams(report), true).returnCode != 0) {
            state.SkipWithError("a launch failed");
            return;
        }
        ms.push_back(StartedAfter(report, sent));
    }
    Percentiles(state, ms);
}

void BM_DirectStart(benchmark::State& state) {
    UserSite* site = Site(state);
    if (site == nullptr) {
        return;
    }
    const std::string app = site->Design() + "/linux_a64/code/bin/designstudio";
    std::vector<double> ms;
    int n = 0;
    for (auto _ : state) {
        const std::string report =
            "--report=" + site->UserFolder() + "/direct" + std::to_string(n++) + ".txt";
        char* argv[] = {const_cast<char*>(app.c_str()), const_cast<char*>(report.c_str()), nullptr};
        pid_t pid = 0;
        const long long sent = NowNs();
        ::posix_spawn(&pid, app.c_str(), nullptr, nullptr, argv, environ);
        ms.push_back(StartedAfter(report.substr(9), sent));
        ::waitpid(pid, nullptr, 0);
    }
    Percentiles(state, ms);
}

void BM_Shortcut(benchmark::State& state) {
    UserSite* site = Site(state);
    if (site == nullptr) {
        return;
    }
    std::vector<double> ms;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        site->Call("createShortcut",
                   R"({"level": "L24.4", "exeName": "designstudio", "scName": "Bench"})", true);
        ms.push_back(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                .count());
    }
    Percentiles(state, ms);
}

// Rss is VmRSS of a process, in kB.
double Rss(int pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::stod(line.substr(6));
        }
    }
    return -1;
}

// WorkerPid finds the worker among the daemon's children (of any of its threads: a
// long-lived thread forks them).
int WorkerPid(int daemonPid) {
    const std::string tasks = "/proc/" + std::to_string(daemonPid) + "/task";
    std::error_code error;
    for (const auto& task : std::filesystem::directory_iterator(tasks, error)) {
        std::ifstream children(task.path() / "children");
        for (int pid = 0; children >> pid;) {
            std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
            std::string name;
            comm >> name;
            if (name.rfind("VantaroLaunch", 0) == 0) {
                return pid;
            }
        }
    }
    return -1;
}

void BM_Memory(benchmark::State& state) {
    UserSite* site = Site(state);
    if (site == nullptr) {
        return;
    }
    const std::string params = R"({"level": "L24.4", "exeName": "designstudio"})";
    for (int i = 0; i < 50; ++i) {
        site->Call("startZ5", params, true);
    }
    const int daemon = site->DaemonPid();
    const double daemonBefore = Rss(daemon);
    const double workerBefore = Rss(WorkerPid(daemon));
    for (auto _ : state) {
        for (int i = 0; i < 1000; ++i) {
            site->Call("startZ5", params, true);
        }
    }
    state.counters["daemon_kB_before"] = daemonBefore;
    state.counters["daemon_kB_after"] = Rss(daemon);
    state.counters["worker_kB_before"] = workerBefore;
    state.counters["worker_kB_after"] = Rss(WorkerPid(daemon));
}

BENCHMARK(BM_Launch)->Iterations(50)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DirectStart)->Iterations(50)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Shortcut)->Iterations(50)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Memory)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
