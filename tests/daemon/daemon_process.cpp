#include "daemon/daemon_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "base/json/json.h"
#include "platform/http_queue.h"

namespace fs = std::filesystem;

namespace vl_test {
namespace {

constexpr auto kPoll = std::chrono::milliseconds(20);
constexpr auto kStartLimit = std::chrono::seconds(20);

unsigned FreePort(unsigned other) {
    for (;;) {
        const unsigned port = platform::FindFreeTcpPort();
        if (port != 65535 && port != other) {
            return port;
        }
    }
}

void MakeCertificate(const std::string& folder, const std::string& domain) {
    const std::string command =
        "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2"
        " -subj /CN=" +
        domain + " -addext subjectAltName=DNS:" + domain + " -keyout '" + folder +
        "/serv.key' -out '" + folder + "/serv.crt' >/dev/null 2>&1";
    [[maybe_unused]] const int rc = std::system(command.c_str());
}

}  // namespace

DaemonSite::DaemonSite() {
    WriteFile(Path("pdata.ptr"), Path("data") + "\n");
    mainPort_ = FreePort(0);
    internalPort_ = FreePort(mainPort_);
    WriteFile(Path("serv.port"), std::to_string(mainPort_) + "\n");
    WriteFile(Path("serv.internal.port"), std::to_string(internalPort_) + "\n");
    WriteFile(Path("serv.domain"), std::string(kDomain) + "\n");
    MakeCertificate(dir_.Path(), kDomain);
    WriteConfig({"NO_NEED_SEC"});
    WriteSessions({0});
}

std::string DaemonSite::MainData() const {
    return Path("data/Quorvanti/VantaroLauncher");
}

std::string DaemonSite::HttpsUrl(const std::string& path) const {
    return "https://" + std::string(kDomain) + ":" + std::to_string(mainPort_) + "/" + path;
}

std::string DaemonSite::HttpUrl(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(internalPort_) + "/" + path;
}

void DaemonSite::WriteConfig(const std::vector<std::string>& lines) const {
    std::string text;
    for (const std::string& line : lines) {
        text += line + "\n";
    }
    WriteFile(MainData() + "/launcher.conf", text);
}

void DaemonSite::WriteSessions(const std::vector<int>& states, const std::string& user) const {
    std::string text = "[";
    for (std::size_t i = 0; i < states.size(); ++i) {
        text += (i == 0 ? "" : ",") + std::string("{\"id\": ") + std::to_string(i + 1) +
                ", \"user\": \"" + user + "\", \"state\": " + std::to_string(states[i]) +
                ", \"station\": \"console\"}";
    }
    WriteFile(Path("sessions.json"), text + "]");
}

void DaemonSite::RemoveCertificate() const {
    std::error_code ec;
    fs::remove(fs::path(Path("serv.crt")), ec);
    fs::remove(fs::path(Path("serv.key")), ec);
}

bool DaemonSite::InstallSamples(bool withProduct) const {
    const std::string bin = VL_BIN_DIR;
    const std::string command = (withProduct ? "PRODUCT_BIN=" + bin + " " : std::string()) +
                                "VLREG=" + bin + "/vlreg bash '" + VL_SOURCE_DIR +
                                "/scripts/demo/sample-installs.sh' '" + Path("registry") + "' '" +
                                Path("installs") + "' >/dev/null";
    return std::system(command.c_str()) == 0;
}

CurlClient& DaemonSite::Client() {
    if (!client_) {
        client_ = std::make_unique<CurlClient>(CertificateFile());
        client_->Resolve(kDomain, mainPort_);
    }
    return *client_;
}

std::string DaemonSite::Log() const {
    return LogsBelow(MainData() + "/logs");
}

std::string LogsBelow(const std::string& folder) {
    std::vector<fs::path> files;
    std::error_code ec;
    for (fs::recursive_directory_iterator it(fs::path(folder), ec), end; !ec && it != end;
         it.increment(ec)) {
        if (it->is_regular_file() && it->path().extension() == ".txt") {
            files.push_back(it->path());
        }
    }
    std::sort(files.begin(), files.end());
    std::string text;
    for (const auto& file : files) {
        text += ReadFile(file.string());
    }
    return text;
}

std::vector<std::string> DaemonSite::Environment() const {
    return {"PATH=/usr/sbin:/usr/bin:/sbin:/bin",
            "QVYLD_INSTALL_DIR=" + dir_.Path(),
            "QVYLD_SESSION_FILE=" + Path("sessions.json"),
            "QVYLD_REGISTRY_ROOT=" + Path("registry"),
            "QVYLD_LOG_STDOUT=0",
            "QVYLD_RUNTIME_DIR=" + Path("run")};
}

DaemonProcess::DaemonProcess(const DaemonSite& site, std::vector<std::string> extraEnvironment)
    : site_(site) {
    // The extra entries come first: the first of two entries of a name is the one seen.
    std::vector<std::string> environment = std::move(extraEnvironment);
    const std::vector<std::string> base = site.Environment();
    environment.insert(environment.end(), base.begin(), base.end());
    std::vector<char*> envp;
    for (std::string& entry : environment) {
        envp.push_back(entry.data());
    }
    envp.push_back(nullptr);
    std::string program = std::string(VL_BIN_DIR) + "/VantaroLauncherService";
    char* argv[] = {program.data(), nullptr};
    const std::string output = site.Path("daemon.out");

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                     0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    if (posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv, envp.data()) != 0) {
        pid_ = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
}

DaemonProcess::~DaemonProcess() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        int status = 0;
        ::waitpid(pid_, &status, 0);
    }
}

bool DaemonProcess::WaitUntilServing() {
    const auto limit = std::chrono::steady_clock::now() + kStartLimit;
    while (pid_ > 0 && std::chrono::steady_clock::now() < limit) {
        if (::waitpid(pid_, nullptr, WNOHANG) != 0) {
            pid_ = -1;  // it ended (or was never ours): nothing left to reap
            return false;
        }
        CurlClient probe;
        const CurlReply reply = probe.Fetch({"GET", site_.HttpUrl("iframe")});
        if (reply.code == CURLE_OK && reply.status == 200) {
            return true;
        }
        std::this_thread::sleep_for(kPoll);
    }
    return false;
}

bool DaemonProcess::WaitForExit(int& exitCode, int timeoutMs) {
    const auto limit = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (pid_ > 0) {
        int status = 0;
        const pid_t done = ::waitpid(pid_, &status, WNOHANG);
        if (done == pid_) {
            exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            pid_ = -1;
            return true;
        }
        if (done < 0 || std::chrono::steady_clock::now() >= limit) {
            return false;
        }
        std::this_thread::sleep_for(kPoll);
    }
    return false;
}

bool DaemonProcess::Terminate(int& exitCode, int timeoutMs) {
    if (pid_ <= 0 || ::kill(pid_, SIGTERM) != 0) {
        return false;
    }
    return WaitForExit(exitCode, timeoutMs);
}

std::string DaemonProcess::Output() const {
    return ReadFile(site_.Path("daemon.out"));
}

std::vector<pid_t> ProcessesOfSite(const DaemonSite& site) {
    const std::string marker = "QVYLD_INSTALL_DIR=" + site.Dir().Path();
    std::vector<pid_t> found;
    std::error_code ec;
    for (fs::directory_iterator it(fs::path("/proc"), ec), end; !ec && it != end;
         it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos) {
            continue;
        }
        const std::string environment = ReadFile(it->path().string() + "/environ");
        std::size_t start = 0;
        while (start < environment.size()) {
            const std::size_t end = environment.find('\0', start);
            if (environment.compare(start, end - start, marker) == 0) {
                found.push_back(static_cast<pid_t>(std::stol(name)));
                break;
            }
            start = end == std::string::npos ? environment.size() : end + 1;
        }
    }
    return found;
}

DaemonAnswer ParseAnswer(const std::string& body) {
    DaemonAnswer answer;
    JSON::JSONDocument document;
    document.Parse(body);
    const JSON::JSONItem* root = document.Root();
    if (root == nullptr || !root->IsObject()) {
        return answer;
    }
    const JSON::JSONItem* code = root->Get("returnCode");
    const JSON::JSONItem* commentary = root->Get("commentary");
    const JSON::JSONItem* content = root->Get("content");
    answer.parsed = code != nullptr && code->IsNumber() && content != nullptr;
    answer.returnCode = answer.parsed ? code->GetInt() : -1;
    answer.commentary =
        commentary != nullptr && commentary->IsString() ? commentary->GetString() : std::string();
    answer.content = content != nullptr ? content->Print() : std::string();
    return answer;
}

}  // namespace vl_test
