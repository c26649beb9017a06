// Shared by the web-operation tests: one local HTTPS server per test program (its own
// throwaway certificate authority, trusted through QVYLD_TEST_CA_FILE only), and a fixture
// with the daemon's infrastructure in a temporary folder.
#pragma once

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "base/logger.h"
#include "platform/process.h"
#include "support/test_support.h"

namespace webops_test {

// TestServer is the HTTPS server of tests/webops/https_server.py on a free loopback port.
class TestServer {
  public:
    static TestServer& Get() {
        static TestServer server;
        return server;
    }

    bool Ready() const { return port_ != 0; }
    std::string Url(const std::string& path) const {
        return "https://localhost:" + std::to_string(port_) + path;
    }
    std::string CaFile() const { return dir_.Path("ca.pem"); }
    std::string MediaRoot() const { return dir_.Path("media"); }
    std::string Log() const { return vl_test::ReadFile(dir_.Path("requests.log")); }
    void ClearLog() const { vl_test::WriteFile(dir_.Path("requests.log"), ""); }

    ~TestServer() {
        if (process_.IsValid()) {
            process_.Terminate(0);
        }
    }

  private:
    TestServer() {
        const std::string d = dir_.Path();
        const std::string certificates =
            "cd '" + d +
            "' && openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes "
            "-keyout ca.key -out ca.pem -days 2 -subj /CN=vl-test-ca "
            "&& openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes "
            "-keyout server.key -out server.csr -subj /CN=localhost "
            "&& printf 'subjectAltName=DNS:localhost,IP:127.0.0.1\\n' > ext.cnf "
            "&& openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial "
            "-out server.pem -days 2 -extfile ext.cnf >/dev/null 2>&1";
        if (std::system((certificates + " 2>/dev/null").c_str()) != 0) {
            return;
        }
        std::filesystem::create_directories(MediaRoot());
        ClearLog();
        const std::string script = std::string(VL_SOURCE_DIR) + "/tests/webops/https_server.py";
        if (platform::LaunchAsSelf({"python3", script, "--cert", dir_.Path("server.pem"), "--key",
                                    dir_.Path("server.key"), "--port-file", dir_.Path("port"),
                                    "--root", MediaRoot(), "--log", dir_.Path("requests.log")},
                                   nullptr, process_) != 0) {
            return;
        }
        for (int i = 0; i < 400 && port_ == 0; ++i) {
            const std::string text = vl_test::ReadFile(dir_.Path("port"));
            if (!text.empty()) {
                port_ = std::atoi(text.c_str());
            } else {
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
        }
    }

    vl_test::TempDir dir_;
    platform::ProcessHandle process_;
    int port_ = 0;
};

// Md5Hex is the checksum the media descriptions carry.
inline std::string Md5Hex(const std::string& data) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    size_t length = 0;
    EVP_Q_digest(nullptr, "MD5", nullptr, data.data(), data.size(), digest, &length);
    std::string hex;
    for (size_t i = 0; i < length; ++i) {
        hex += "0123456789abcdef"[digest[i] >> 4];
        hex += "0123456789abcdef"[digest[i] & 15];
    }
    return hex;
}

// Bytes is n bytes of a repeatable pattern that no compressor shrinks much.
inline std::string Bytes(std::size_t n, unsigned seed = 1) {
    std::string data(n, '\0');
    std::uint32_t x = seed * 2654435761u + 1;
    for (char& c : data) {
        x = x * 1103515245u + 12345u;
        c = static_cast<char>(x >> 24);
    }
    return data;
}

class WebOpsEnv : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!Server().Ready()) {
            GTEST_SKIP() << "no local HTTPS server (python3 and openssl are needed)";
        }
        SetEnv("PMX_KTV_UUID", std::nullopt);
        SetEnv("KtvConfPath", Path("launcher.conf"));
        SetEnv("QVYLD_TEST_CA_FILE", Server().CaFile());
        Configure({});
        Server().ClearLog();
    }

    void TearDown() override { vl_test::ResetInfrastructure(); }

    static const TestServer& Server() { return TestServer::Get(); }
    std::string Path(const std::string& leaf) const { return dir_.Path(leaf); }

    void SetEnv(const std::string& name, const std::optional<std::string>& value) {
        env_.push_back(std::make_unique<vl_test::ScopedEnv>(name, value));
    }

    void Configure(const std::vector<std::string>& lines) {
        ASSERT_TRUE(vl_test::WriteLauncherConf(Path("launcher.conf"), lines));
        ASSERT_TRUE(vl_test::InitInfrastructure(dir_));
    }

    static bool Logged(const std::string& text) {
        return vl_test::ReadFile(Logger::CurrentFilePath()).find(text) != std::string::npos;
    }

  private:
    vl_test::TempDir dir_;
    std::vector<std::unique_ptr<vl_test::ScopedEnv>> env_;
};

}  // namespace webops_test
