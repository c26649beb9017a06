// DiscoveryEnv gives each test a temporary registry store and installation folders, with the
// infrastructure (folders, configuration, logger) started in the same temporary folder.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "platform/registry.h"
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
        if (!platform::SetRegistryLocation(dir_.Path("registry"))) {
            GTEST_SKIP() << "the registry tests need the POSIX store file";
        }
    }
    void TearDown() override {
        platform::SetRegistryLocation("");
        vl_test::ResetInfrastructure();
    }

    std::string Folder(const std::string& name) const { return dir_.Path("installs/" + name); }

    // WriteStore writes the installations as the 64-bit store file and creates their folders.
    void WriteStore(const std::vector<SampleInstall>& installs) {
        std::string text = "Windows Registry Editor Version 5.00\n\n";
        for (const auto& install : installs) {
            Section(text, install.key);
            for (const auto& [name, data] : install.values) {
                Value(text, name, data);
            }
            Section(text, install.key + "\\prd");
            for (const auto& process : install.processes) {
                Value(text, process, "");
            }
            Section(text, install.key + "\\xtra");
            for (const auto& process : install.xtraProcesses) {
                Value(text, process, "");
            }
            for (const auto& app : install.apps) {
                Section(text, install.key + "\\app\\" + app.at("id"));
                for (const auto& [name, data] : app) {
                    if (name != "id") {
                        Value(text, name, data);
                    }
                }
            }
            const auto path = install.values.find("Path");
            if (install.folderExists && path != install.values.end()) {
                std::filesystem::create_directories(path->second);
            }
        }
        ASSERT_TRUE(vl_test::WriteFile(dir_.Path("registry/HKLM64.reg"), text));
    }

    static void Section(std::string& text, const std::string& key) {
        text += "\n[HKEY_LOCAL_MACHINE\\" + key + "]\n";
    }
    static void Value(std::string& text, const std::string& name, const std::string& data) {
        text += "\"" + Escape(name) + "\"=\"" + Escape(data) + "\"\n";
    }
    static std::string Escape(const std::string& text) {
        std::string out;
        for (char c : text) {
            out += (c == '\\' || c == '"') ? std::string("\\") + c : std::string(1, c);
        }
        return out;
    }

    vl_test::TempDir dir_;
};
