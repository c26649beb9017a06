// What the POSIX worker tests add to WorkerEnv: throwaway users (from the session tests'
// helper) and what /proc shows of a process.
#pragma once

#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

#include "sessions/session_fixtures.h"
#include "worker_env.h"

namespace worker_test {

// ProcFile is a /proc file of a process, "" once it is gone.
inline std::string ProcFile(std::uint32_t pid, const std::string& leaf) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/" + leaf, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// ProcStatusField is one "Name:\tvalue" line of /proc/<pid>/status, without the name.
inline std::string ProcStatusField(std::uint32_t pid, const std::string& name) {
    std::istringstream lines(ProcFile(pid, "status"));
    std::string line;
    while (std::getline(lines, line)) {
        if (line.rfind(name + ":", 0) == 0) {
            const std::size_t start = line.find_first_not_of(" \t", name.size() + 1);
            return start == std::string::npos ? "" : line.substr(start);
        }
    }
    return {};
}

inline bool IsAlive(std::uint32_t pid) {
    return vl_test::ProcessAlive(pid);
}

class PosixWorkerEnv : public WorkerEnv {
  protected:
    // MakeUser creates a throwaway user, or says why the test cannot run here.
    static std::string MakeUser(sessions_test::ThrowawayUser& user) { return user.Create(); }
};

}  // namespace worker_test
