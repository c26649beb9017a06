// DiscoveryEnv gives each test an empty registry of its own and installation folders, with the
// infrastructure (folders, configuration, logger) started in the same temporary folder.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "support/test_registry.h"
#include "support/test_support.h"

// SampleInstall describes one installation key and the folder it points to.
struct SampleInstall {
    std::string key;  // below HKEY_LOCAL_MACHINE
    std::map<std::string, std::string> values;
    std::vector<std::string> processes;
    std::vector<std::string> xtraProcesses;
    std::vector<std::map<std::string, std::string>> apps;  // "id", "brand", "wb"
    bool folderExists = true;
};

class DiscoveryEnv : public ::testing::Test {
  protected:
    void SetUp() override {
        vl_test::WriteFile(dir_.Path("launcher.conf"), "LOGLEVEL=all\n");
        ASSERT_TRUE(vl_test::InitInfrastructure(dir_));
        ASSERT_TRUE(registry_.Ready()) << registry_.Why();
    }
    void TearDown() override { vl_test::ResetInfrastructure(); }

    std::string Folder(const std::string& name) const { return dir_.Path("installs/" + name); }
    // JsonFolder is the folder as it stands inside a JSON string (Windows paths escaped).
    std::string JsonFolder(const std::string& name) const {
        std::string text;
        for (const char c : Folder(name)) {
            text += c == '\\' ? std::string("\\\\") : std::string(1, c);
        }
        return text;
    }

    // WriteStore replaces the registry's content with the installations and creates their
    // folders.
    void WriteStore(const std::vector<SampleInstall>& installs) {
        std::vector<vl_test::RegistryKeyData> keys;
        for (const auto& install : installs) {
            keys.push_back({install.key, {install.values.begin(), install.values.end()}, {}});
            keys.push_back({install.key + "\\prd", Names(install.processes), {}});
            keys.push_back({install.key + "\\xtra", Names(install.xtraProcesses), {}});
            for (const auto& app : install.apps) {
                vl_test::RegistryKeyData key{install.key + "\\app\\" + app.at("id"), {}, {}};
                for (const auto& [name, data] : app) {
                    if (name != "id") {
                        key.strings.emplace_back(name, data);
                    }
                }
                keys.push_back(std::move(key));
            }
            const auto path = install.values.find("Path");
            if (install.folderExists && path != install.values.end()) {
                std::filesystem::create_directories(path->second);
            }
        }
        ASSERT_TRUE(registry_.Replace(keys));
    }

    // Names are values of empty text, as an installation lists its processes.
    static std::vector<std::pair<std::string, std::string>> Names(
        const std::vector<std::string>& names) {
        std::vector<std::pair<std::string, std::string>> values;
        for (const auto& name : names) {
            values.emplace_back(name, "");
        }
        return values;
    }

    vl_test::TempDir dir_;
    vl_test::TestRegistry registry_{dir_};
};
