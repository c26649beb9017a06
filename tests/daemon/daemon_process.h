// daemon_process.h: the real daemon binary, run by black-box tests.
//
//   DaemonSite site;                  a temporary install folder: "pdata.ptr" pointing at a
//                                     data folder inside it, "serv.port" and
//                                     "serv.internal.port" with free ports, "serv.domain",
//                                     a throwaway certificate for the domain, a session file
//                                     with one active session, "launcher.conf" (NO_NEED_SEC)
//   site.WriteConfig({"LOGLEVEL=warn"})  replaces "launcher.conf"
//   DaemonProcess daemon(site);       starts VantaroLauncherService with that folder
//   daemon.WaitUntilServing()         true once the internal HTTP port answers
//   daemon.Terminate(exitCode, 5000)  SIGTERM, then waits for the exit (false on time-out)
//   site.Log()                        every log file of the daemon, concatenated
//
// Every process of a site carries the site's folder in its environment, so
// ProcessesOfSite() finds whatever the daemon left behind. The destructor kills and reaps a
// daemon that is still running.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

#include "http_queue/curl_client.h"
#include "support/test_support.h"

namespace vl_test {

class DaemonSite {
  public:
    static constexpr const char* kDomain = "daemon.vl.test";

    DaemonSite();

    const TempDir& Dir() const { return dir_; }
    std::string Path(const std::string& leaf) const { return dir_.Path(leaf); }
    // MainData is the folder of "launcher.conf" and of the logs.
    std::string MainData() const;
    unsigned MainPort() const { return mainPort_; }
    unsigned InternalPort() const { return internalPort_; }
    std::string HttpsUrl(const std::string& path) const;
    std::string HttpUrl(const std::string& path) const;
    std::string CertificateFile() const { return Path("serv.crt"); }

    void WriteConfig(const std::vector<std::string>& lines) const;
    // WriteSessions replaces the session file: one entry of the user per state (0 = active).
    void WriteSessions(const std::vector<int>& states, const std::string& user = "root") const;
    void RemoveCertificate() const;
    // InstallSamples records the sample installations of scripts/demo/sample-installs.sh
    // under "installs" (with the simulated product's programs when withProduct).
    bool InstallSamples(bool withProduct = false) const;
    // Client is a keep-alive client that trusts the site's certificate and resolves its
    // domain to 127.0.0.1.
    CurlClient& Client();

    std::string Log() const;
    std::vector<std::string> Environment() const;

  private:
    TempDir dir_;
    unsigned mainPort_ = 0;
    unsigned internalPort_ = 0;
    std::unique_ptr<CurlClient> client_;
};

class DaemonProcess {
  public:
    explicit DaemonProcess(const DaemonSite& site, std::vector<std::string> extraEnvironment = {});
    ~DaemonProcess();
    DaemonProcess(const DaemonProcess&) = delete;
    DaemonProcess& operator=(const DaemonProcess&) = delete;

    pid_t Pid() const { return pid_; }
    bool WaitUntilServing();
    // WaitForExit reaps the process: exitCode is its exit status, or 128 + the signal that
    // ended it. False when it still runs after timeoutMs.
    bool WaitForExit(int& exitCode, int timeoutMs);
    bool Terminate(int& exitCode, int timeoutMs);
    std::string Output() const;

  private:
    const DaemonSite& site_;
    pid_t pid_ = -1;
};

// LogsBelow is every log file below the folder, in name order, concatenated.
std::string LogsBelow(const std::string& folder);

// ProcessesOfSite lists the pids of running processes whose environment names the site.
std::vector<pid_t> ProcessesOfSite(const DaemonSite& site);

// DaemonAnswer is an answer object of the daemon; content is the compact text of its
// "content" member.
struct DaemonAnswer {
    bool parsed = false;
    int returnCode = -1;
    std::string commentary;
    std::string content;
};
DaemonAnswer ParseAnswer(const std::string& body);

}  // namespace vl_test
