// test_support.h: small helpers shared by every test program (tests/support/*.cpp is linked
// into each of them).
//
//   vl_test::TempDir dir;               a fresh folder, removed with everything in it
//   dir.Path("a.txt")                   a path inside it
//   vl_test::WriteFile(path, text)      writes a file (parents created)
//   vl_test::ReadFile(path)             the whole file, "" when missing
//   vl_test::ScopedEnv env("NAME", v)   sets (or, with std::nullopt, unsets) an environment
//                                       variable and restores the old value at scope end
//   vl_test::WriteLauncherConf(p, l)    a "launcher.conf" of "LOGLEVEL=all" (INTERNAL lines reach
//                                       the log file) and the given lines
//   vl_test::ResetInfrastructure()      Logger, Config and FileAndFoldersManager back to
//                                       their never-initialised state, stdout copy of the
//                                       log silenced (set QVYLD_LOG_STDOUT=1 to see it)
//   vl_test::SyslogSink sink(path)      the event log, as tests see it: a datagram socket at
//                                       path; sink.Environment() is the QVYLD_SYSLOG_SOCKET
//                                       entry that sends a process's events there, and
//                                       sink.Received() every record so far, one per line
//   vl_test::SmallDisk disk(path, kib)  a tmpfs of that size mounted at path for the scope
//                                       (root only: check disk.Mounted()); disk.Fill() takes
//                                       every free byte, disk.Free() gives them back
//   vl_test::InitInfrastructure(dir)    reset, then the daemon's start order on a temporary
//                                       folder: folders (context 3, PMX_KTV_TMP = dir),
//                                       configuration from MAIN_DATA/launcher.conf, logger
//                                       in the LOG folder; returns false when a step fails
//   vl_test::ProcessAlive(pid)          whether the process exists and has not ended (a zombie
//                                       counts as ended)
//   vl_test::KillProcess(pid)           ends the process at once (SIGKILL, TerminateProcess)
//   vl_test::UnderWine()                whether this Windows program runs under Wine (false on
//                                       POSIX), for skips "under Wine: ..."
//   vl_test::KnownGapReasons(readme)    the skip reasons that the README's "Known gaps"
//                                       section lists (the first `code` of each "- " line);
//                                       under CI=true any other skip fails (skip_check.cpp)
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vl_test {

std::vector<std::string> KnownGapReasons(const std::string& readme);

class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& Path() const { return path_; }
    std::string Path(const std::string& leaf) const;

  private:
    std::string path_;
};

class ScopedEnv {
  public:
    ScopedEnv(std::string name, const std::optional<std::string>& value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

  private:
    std::string name_;
    std::optional<std::string> old_;
};

class SyslogSink {
  public:
    explicit SyslogSink(std::string path);
    ~SyslogSink();
    SyslogSink(const SyslogSink&) = delete;
    SyslogSink& operator=(const SyslogSink&) = delete;

    const std::string& Path() const { return path_; }
    std::string Environment() const { return "QVYLD_SYSLOG_SOCKET=" + path_; }
    std::string Received();

  private:
    std::string path_;
    int fd_ = -1;
    std::string records_;
};

class SmallDisk {
  public:
    SmallDisk(std::string path, unsigned kib);
    ~SmallDisk();
    SmallDisk(const SmallDisk&) = delete;
    SmallDisk& operator=(const SmallDisk&) = delete;

    bool Mounted() const { return mounted_; }
    void Fill() const;
    void Free() const;

  private:
    std::string path_;
    bool mounted_ = false;
};

bool WriteFile(const std::string& path, const std::string& text);
std::string ReadFile(const std::string& path);

// PercentEncode escapes every byte but letters, digits and "-_.~" for a URL's query.
std::string PercentEncode(const std::string& text);
bool WriteLauncherConf(const std::string& path, const std::vector<std::string>& lines);

bool UnderWine();
bool ProcessAlive(std::uint32_t pid);
bool KillProcess(std::uint32_t pid);

void ResetInfrastructure();
bool InitInfrastructure(const TempDir& dir);

}  // namespace vl_test
