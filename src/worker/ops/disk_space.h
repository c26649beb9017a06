// DiskSpace answers how many bytes may still be written in a folder. Tests replace the probe
// to play a full disk without mounting one.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace WorkerOps {

class DiskSpace {
  public:
    using Probe = std::function<std::optional<std::uint64_t>(const std::string& folder)>;

    // Available is the space left to an unprivileged writer, or nothing when the folder
    // cannot be asked.
    static std::optional<std::uint64_t> Available(const std::string& folder);
    // SetProbeForTests replaces the probe; an empty one restores the file system's answer.
    static void SetProbeForTests(Probe probe);
};

}  // namespace WorkerOps
