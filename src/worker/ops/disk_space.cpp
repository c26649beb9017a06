#include "worker/ops/disk_space.h"

#include <filesystem>
#include <mutex>
#include <system_error>
#include <utility>

#include "worker/ops/path_text.h"

namespace WorkerOps {

namespace {

std::mutex& ProbeMutex() {
    static std::mutex mutex;
    return mutex;
}

DiskSpace::Probe& TestProbe() {
    static DiskSpace::Probe probe;
    return probe;
}

}  // namespace

std::optional<std::uint64_t> DiskSpace::Available(const std::string& folder) {
    {
        std::lock_guard lock(ProbeMutex());
        if (TestProbe()) {
            return TestProbe()(folder);
        }
    }
    std::error_code error;
    const std::filesystem::space_info info = std::filesystem::space(FsPath(folder), error);
    if (error) {
        return std::nullopt;
    }
    return info.available;
}

void DiskSpace::SetProbeForTests(Probe probe) {
    std::lock_guard lock(ProbeMutex());
    TestProbe() = std::move(probe);
}

}  // namespace WorkerOps
