// elevation.h: running a program with administrator rights, as the shell verb "runas" does.
//
// Windows: ShellExecuteExW with "runas" (the user may be asked to consent).
// POSIX: through "pkexec" when it is installed (polkit decides, and may ask the user);
// without it every elevated run fails with 50 (not supported). The helper's answer comes
// only when it ends: Wait reports a dismissed authentication (exit 126) as 1223 and a
// refused one (exit 127, also when no authentication agent is found) as 5, not as the
// program's exit code.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace platform {

// ElevatedProcess owns a process started elevated. Closing it leaves the process running.
class ElevatedProcess {
  public:
    struct Impl;

    ElevatedProcess();
    explicit ElevatedProcess(std::unique_ptr<Impl> impl);
    ~ElevatedProcess();
    ElevatedProcess(ElevatedProcess&&) noexcept;
    ElevatedProcess& operator=(ElevatedProcess&&) noexcept;
    ElevatedProcess(const ElevatedProcess&) = delete;
    ElevatedProcess& operator=(const ElevatedProcess&) = delete;

    // IsValid is false when the launch gave no process to wait for.
    bool IsValid() const;
    // Wait gives 0 and the exit code once the process has ended, 258 when timeoutMs
    // (0xFFFFFFFF: no limit) passed first, 1223 or 5 when the elevation was dismissed or
    // refused, or another error.
    std::uint32_t Wait(std::uint32_t timeoutMs, std::uint32_t& exitCode);
    void Close();

  private:
    std::unique_ptr<Impl> impl_;
};

// kElevationHelper is the program that elevates on POSIX.
inline constexpr const char* kElevationHelper = "pkexec";

// LaunchElevated starts argv (argv[0] is the program, already split). waitForLaunch makes
// the call return only once the program has started. instance is the shell's instance value
// (32 or less means the shell met an error; POSIX always gives 33). 0 or an error.
std::uint32_t LaunchElevated(const std::vector<std::string>& argv, bool waitForLaunch,
                             ElevatedProcess& out, std::int64_t& instance);

}  // namespace platform
