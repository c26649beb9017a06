// Shared by the web-operation tests: the web services' stand-in, and a fixture with the
// daemon's infrastructure in a temporary folder.
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
#include "fixtures/catalogue/catalogue_stand_in.h"
#include "session/shared_data.h"
#include "session/user_extension.h"
#include "support/test_support.h"

namespace webops_test {

// Server is the test program's one stand-in of the web services (HTTPS on a free loopback
// port, its own throwaway certificate authority trusted through QVYLD_TEST_CA_FILE only).
inline const catalogue_test::CatalogueStandIn& Server() {
    static const catalogue_test::CatalogueStandIn server;
    return server;
}

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
        Server().ClearRecords();
    }

    void TearDown() override {
        SharedData::Stop();
        UserExtension::ResetForTests();
        vl_test::ResetInfrastructure();
    }

    // UseOwnWorker has workers started the test harness's way: in our own context, with our
    // environment, for an active session whose user does not exist here.
    void UseOwnWorker(const std::string& uuid) {
        SetEnv("PMX_KTV_UUID", uuid);
        SetEnv("KTV_LAUNCHER_GUIEXE_PATH", std::string(VL_BIN_DIR) + "/VantaroLauncherGUI");
        SetEnv("QVYLD_INSTALL_DIR", Path("install"));
        SetEnv("QVYLD_SESSION_FILE", Path("sessions.json"));
        SetEnv("QVYLD_RUNTIME_DIR", Path("run"));
        vl_test::WriteFile(Path("install/.keep"), "");
        vl_test::WriteFile(Path("sessions.json"),
                           "[{\"id\": 5, \"user\": \"vl_no_such_user\", \"state\": 0}]");
        UserExtension::ResetForTests();
    }

    static const catalogue_test::CatalogueStandIn& Server() { return webops_test::Server(); }
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
