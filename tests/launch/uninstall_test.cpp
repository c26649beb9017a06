// "uninstall" through the real daemon: installations of their own, recorded in the site's
// registry store, with the simulated product and its uninstall script.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <thread>

#include "support/site/user_site.h"

namespace {

using vl_test::Json;
using vl_test::UserSite;

class UninstallTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string why;
        site_ = vl_test::UserSite::Get(why, {"LOGLEVEL=info"});
        if (site_ == nullptr) {
            GTEST_SKIP() << why;
        }
    }

    // AddInstallation records an installation of level "L24.<name>" in its own folder, with
    // the simulated product (application "app") and, withScript, the uninstall script.
    std::string AddInstallation(const std::string& name, bool withScript) const {
        const std::string folder = site_->Installs() + "/" + name;
        const std::string bin = folder + "/linux_a64/code/bin";
        const std::string key = "HKLM\\Software\\Quorvanti\\Z5\\L24\\REMOVABLE\\" + name;
        std::filesystem::create_directories(bin);
        std::filesystem::create_directories(folder + "/VRKEnv");
        for (const char* tool :
             {"vrkstart:VRKSTART", "setvrkenv:setvrkenv", "chvrkenv:chvrkenv", "sim_app:app"}) {
            const std::string pair = tool;
            std::filesystem::copy_file(
                std::string(VL_BIN_DIR) + "/vl_product_" + pair.substr(0, pair.find(':')),
                bin + "/" + pair.substr(pair.find(':') + 1));
        }
        vl_test::WriteFile(folder + "/VRKEnv/Env.txt", "VRK_PRODUCT=" + name + "\n");
        const std::vector<std::string> values = {"Path=" + folder, "Level=L24." + name,
                                                 "GAlevel=L24", "Osds=linux_a64", "Type=full"};
        for (const std::string& value : values) {
            const std::size_t equal = value.find('=');
            Reg("add '" + key + "' /v " + value.substr(0, equal) + " /d '" +
                value.substr(equal + 1) + "' /reg:64");
        }
        if (withScript) {
            AddScript(folder, key);
        }
        return folder;
    }

    void AddScript(const std::string& folder, const std::string& key) const {
        std::filesystem::copy_file(
            std::string(VL_SOURCE_DIR) + "/tests/fixtures/product/Uninstall.sh",
            folder + "/Uninstall.sh");
        vl_test::WriteFile(folder + "/sim-uninstall.conf",
                           "VLREG='" + std::string(VL_BIN_DIR) + "/vlreg'\nREGISTRY_ROOT='" +
                               site_->Registry() + "'\nKEY='" + key + "'\nREPORT='" + folder +
                               ".report'\n");
    }

    void Reg(const std::string& arguments) const {
        const std::string command = std::string(VL_BIN_DIR) + "/vlreg " + arguments + " --root '" +
                                    site_->Registry() + "' >/dev/null";
        ASSERT_EQ(std::system(command.c_str()), 0) << command;
    }

    // Listed tells whether "discoverAllInstall" lists an installation in the folder.
    bool Listed(const std::string& folder) const {
        const vl_test::DaemonAnswer answer =
            site_->Call("discoverAllInstall", R"({"installPath": )" + Json(folder) + "}");
        return answer.returnCode == 0 && answer.content.find("\"id\"") != std::string::npos;
    }

    static std::string At(const std::string& folder, const std::string& more = "") {
        return R"({"installTargetPath": )" + Json(folder) + more + "}";
    }

    UserSite* site_ = nullptr;
};

// The script runs as root with "-quiet" and the page's variables in its own environment,
// and removes the record: the installation is no longer listed, nor found again.
TEST_F(UninstallTest, RunsTheScriptWithTheVariablesAndTheRecordIsGone) {
    const std::string folder = AddInstallation("U1", true);
    ASSERT_TRUE(Listed(folder));
    const vl_test::DaemonAnswer answer = site_->Call(
        "uninstall", At(folder, R"(, "uninstVarData": {"A": 1, "B": "x y", "Q": "say \"hi\""})"));
    ASSERT_EQ(answer.returnCode, 0) << answer.commentary << site_->Log();

    const std::map<std::string, std::string> seen = vl_test::WaitForReport(folder + ".report");
    EXPECT_EQ(seen.at("argc"), "1");
    EXPECT_EQ(seen.at("arg1"), "-quiet");
    EXPECT_EQ(seen.at("variables"), R"( --var "A=1" --var "B=x y" --var "Q=say \"hi\"")");
    EXPECT_EQ(seen.at("uid"), "0");
    EXPECT_FALSE(Listed(folder));
    EXPECT_EQ(site_->Call("uninstall", At(folder)).returnCode, 223);
    EXPECT_EQ(std::getenv("QVYInsUninstallArguments"), nullptr);
}

// Each refusal: lookups that find none or several, a missing script (and the lock is then
// released), a failing script, and a script that someone else than root can change.
TEST_F(UninstallTest, RefusesEachFaultWithItsCode) {
    const std::string bare = AddInstallation("U2", false);
    const std::string failing = AddInstallation("U3", true);
    const std::string foreign = AddInstallation("U4", true);
    ::chmod((foreign + "/Uninstall.sh").c_str(), 0777);
    const struct {
        std::string params;
        int code;
    } cases[] = {
        {R"({"installId": "1234"})", 223},
        {At("/nonexistent"), 223},
        {"{}", 222},
        {At(bare), 226},
        {At(failing, R"(, "uninstVarData": {"FAIL": 7})"), 225},
        {At(foreign), 224},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(site_->Call("uninstall", c.params).returnCode, c.code) << c.params;
    }
    EXPECT_TRUE(Listed(failing));
    AddScript(bare, "HKLM\\Software\\Quorvanti\\Z5\\L24\\REMOVABLE\\U2");
    EXPECT_EQ(site_->Call("uninstall", At(bare)).returnCode, 0) << "the lock was released";
    EXPECT_FALSE(Listed(bare));
}

// An installation that an application launch holds cannot be removed meanwhile.
TEST_F(UninstallTest, ALaunchOfTheSameInstallationRefusesIt) {
    const std::string folder = AddInstallation("U5", true);
    auto launch = std::async(std::launch::async, [&] {
        return site_->Call("startZ5", R"({"level": "L24.U5", "exeName": "app",)"
                                      R"( "envString": {"SIM_START_DELAY_MS": 2500}})");
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(800));
    EXPECT_EQ(site_->Call("uninstall", At(folder)).returnCode, 109);
    EXPECT_EQ(launch.get().returnCode, 0) << site_->Log();
    EXPECT_TRUE(Listed(folder));
    EXPECT_EQ(site_->Call("uninstall", At(folder)).returnCode, 0);
}

}  // namespace
