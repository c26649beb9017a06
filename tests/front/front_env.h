// FrontEnv gives each test a fresh daemon context in a temporary folder: the infrastructure
// started as the service starts it, with the configuration read from a "launcher.conf" of
// the test (LOGLEVEL=all, so INTERNAL lines reach the log file), the install folder, the
// named-mutex folder and a session file with one active session. The core's lock list is
// cleared. Shared by the front and core test programs.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "base/config.h"
#include "base/json/json.h"
#include "base/logger.h"
#include "core/functionnal_core.h"
#include "support/test_support.h"

class FrontEnv : public ::testing::Test {
  protected:
    void SetUp() override {
        SetEnv("PMX_KTV_UUID", std::nullopt);
        SetEnv("KtvConfPath", Path("launcher.conf"));
        SetEnv("QVYLD_INSTALL_DIR", Path("install"));
        SetEnv("QVYLD_LOCK_DIR", dir_.Path());
        SetEnv("QVYLD_SESSION_FILE", Path("sessions.json"));
        WriteFile(Path("install/.keep"), "");
        SetSessions({{1, 0}});
        Configure({});
        FunctionnalCore::ResetForTests();
        FunctionnalCore::SetTrayStarter({});
    }

    void TearDown() override {
        FunctionnalCore::ResetForTests();
        FunctionnalCore::SetTrayStarter({});
        vl_test::ResetInfrastructure();
    }

    std::string Path(const std::string& leaf) const { return dir_.Path(leaf); }

    static void WriteFile(const std::string& path, const std::string& text) {
        ASSERT_TRUE(vl_test::WriteFile(path, text)) << path;
    }

    void SetEnv(const std::string& name, const std::optional<std::string>& value) {
        env_.push_back(std::make_unique<vl_test::ScopedEnv>(name, value));
    }

    // Configure restarts the infrastructure with the given extra "launcher.conf" lines.
    void Configure(const std::vector<std::string>& lines) {
        ASSERT_TRUE(vl_test::WriteLauncherConf(Path("launcher.conf"), lines));
        ASSERT_TRUE(vl_test::InitInfrastructure(dir_));
    }

    // SetSessions writes the session file: one entry per {id, state}, state 0 is active.
    void SetSessions(const std::vector<std::pair<int, int>>& sessions) {
        std::string text = "[";
        for (const auto& [id, state] : sessions) {
            text += std::string(text.size() > 1 ? "," : "") + "{\"id\": " + std::to_string(id) +
                    ", \"user\": \"u" + std::to_string(id) +
                    "\", \"state\": " + std::to_string(state) + ", \"station\": \"console\"}";
        }
        WriteFile(Path("sessions.json"), text + "]");
    }

    // LogText is what the logger has written so far.
    static std::string LogText() { return vl_test::ReadFile(Logger::CurrentFilePath()); }

    static bool Logged(const std::string& message) {
        return LogText().find(message) != std::string::npos;
    }

    vl_test::TempDir dir_;
    std::vector<std::unique_ptr<vl_test::ScopedEnv>> env_;
};

// Answer is a parsed answer object.
struct Answer {
    explicit Answer(const std::string& text) {
        ok = document.Parse(text) == 0 && document.Root() != nullptr && document.Root()->IsObject();
    }
    std::int32_t Code() const { return document.Root()->Get("returnCode")->GetInt(); }
    const JSON::JSONItem* Commentary() const { return document.Root()->Get("commentary"); }
    std::string CommentaryText() const { return Commentary()->GetString(); }
    const JSON::JSONItem* Content() const { return document.Root()->Get("content"); }
    std::string ContentText() const { return Content()->Print(); }

    JSON::JSONDocument document;
    bool ok = false;
};
