#include "base/config.h"

#include <gtest/gtest.h>

#include <set>

#include "base/logger.h"
#include "support/test_support.h"

namespace {

class ConfigTest : public ::testing::Test {
  protected:
    void SetUp() override { vl_test::ResetInfrastructure(); }
    void TearDown() override { vl_test::ResetInfrastructure(); }

    bool InitWith(const std::string& content) {
        vl_test::WriteFile(dir_.Path("launcher.conf"), content);
        return Config::Init(dir_.Path("launcher.conf"));
    }
    static std::set<std::int32_t> Activated() {
        std::set<std::int32_t> ids;
        for (std::int32_t id = 0; id < 100; ++id) {
            if (Config::IsActivated(id)) {
                ids.insert(id);
            }
        }
        return ids;
    }

    vl_test::TempDir dir_;
    vl_test::ScopedEnv uuid_{"PMX_KTV_UUID", std::nullopt};
    vl_test::ScopedEnv tool_{"PMX_KTV_EXECTOOL", std::nullopt};
    vl_test::ScopedEnv confPath_{"KtvConfPath", std::nullopt};
};

TEST_F(ConfigTest, FileLines) {
    const struct {
        const char* content;
        std::set<std::int32_t> options;
        std::int32_t variable;
        const char* value;  // nullptr: the variable is not given
    } cases[] = {
        {"LOGLEVEL=debug # comment\n", {56}, ConfigId::LOGLEVEL, "debug "},
        {"  SUPER_LOGGER \t\n", {56, 70}, 0, nullptr},
        {"super_logger\n", {56}, 0, nullptr},
        {"IFRAME_PATH=C:\\a=b\n", {56}, ConfigId::IFRAME_PATH, "C:\\a=b"},
        {" AUTH_WS_URL =  http://x/y \r\n", {56}, ConfigId::AUTH_WS_URL, "  http://x/y "},
        {"TEST_MODE=\n", {56}, ConfigId::TEST_MODE, ""},
        {"TEST_MODE=a\nTEST_MODE=raw\n", {56}, ConfigId::TEST_MODE, "raw"},
        {"# SUPER_LOGGER\n   \n\nNO_NEED_SEC#x\n", {56, 60}, 0, nullptr},
        {"loglevel=debug\nUNKNOWN=1\n", {56}, ConfigId::LOGLEVEL, nullptr},
        {"KTV_MODE\n", {56}, 0, nullptr},  // only the environment turns it on
        {"WAIT_FOR_DEBUG\nKEEP_ICON_RAW_IMAGE\nDO_JSON_PRINT", {50, 53, 56, 71}, 0, nullptr},
        {"", {56}, ConfigId::LOGLEVEL, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.content);
        Config::ResetForTests();
        ASSERT_TRUE(InitWith(c.content));
        EXPECT_EQ(Activated(), c.options);
        std::string value = "stale";
        EXPECT_EQ(Config::GetVariable(c.variable, value), c.value != nullptr);
        EXPECT_EQ(value, c.value != nullptr ? c.value : "");
    }
}

TEST_F(ConfigTest, MissingFileOrFolderLeavesTheDefaults) {
    ASSERT_TRUE(Config::Init(dir_.Path("missing.conf")));
    EXPECT_EQ(Activated(), (std::set<std::int32_t>{56}));
    std::string value;
    for (std::int32_t id = 1; id <= 7; ++id) {
        EXPECT_FALSE(Config::GetVariable(id, value));
    }
    Config::ResetForTests();
    ASSERT_TRUE(Config::Init(dir_.Path()));  // a folder is no configuration file
    EXPECT_EQ(Activated(), (std::set<std::int32_t>{56}));
}

TEST_F(ConfigTest, NotReadyBeforeInitAndReadOnce) {
    std::string value = "stale";
    EXPECT_FALSE(Config::IsActivated(ConfigId::DO_NOT_USE_ENVLIST));
    EXPECT_FALSE(Config::GetVariable(ConfigId::LOGLEVEL, value));
    EXPECT_EQ(value, "");

    ASSERT_TRUE(InitWith("LOGLEVEL=info\n"));
    ASSERT_TRUE(InitWith("LOGLEVEL=warn\n"));  // the second read changes nothing
    EXPECT_TRUE(Config::GetVariable(ConfigId::LOGLEVEL, value));
    EXPECT_EQ(value, "info");

    Config::Activate(ConfigId::KTV_MODE);
    EXPECT_TRUE(Config::IsActivated(ConfigId::KTV_MODE));
}

TEST_F(ConfigTest, EnvironmentOptionsAndPath) {
    const struct {
        const char* uuid;
        const char* tool;
        std::set<std::int32_t> options;
    } cases[] = {
        {nullptr, "MemoryCheck", {56}},    {"", "MemoryCheck", {56}},
        {"1234", nullptr, {56, 65}},       {"1234", "runMemoryCheck.exe", {56, 65, 67}},
        {"1234", "memorycheck", {56, 65}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.uuid ? c.uuid : "(unset)") + " / " + (c.tool ? c.tool : ""));
        Config::ResetForTests();
        vl_test::ScopedEnv uuid("PMX_KTV_UUID",
                                c.uuid ? std::optional<std::string>(c.uuid) : std::nullopt);
        vl_test::ScopedEnv tool("PMX_KTV_EXECTOOL",
                                c.tool ? std::optional<std::string>(c.tool) : std::nullopt);
        ASSERT_TRUE(Config::Init(dir_.Path("missing.conf")));
        EXPECT_EQ(Activated(), c.options);
    }

    Config::ResetForTests();
    vl_test::WriteFile(dir_.Path("other.conf"), "SUPER_LOGGER\n");
    vl_test::ScopedEnv path("KtvConfPath", dir_.Path("other.conf"));
    ASSERT_TRUE(InitWith("NO_NEED_SEC\n"));
    EXPECT_EQ(Activated(), (std::set<std::int32_t>{56, 70}));
}

TEST_F(ConfigTest, DisplayConfigReachesTheLog) {
    Logger::Init("CONFIG_TEST", dir_.Path("logs"), "log");
    ASSERT_TRUE(InitWith("SUPER_LOGGER\nLOGLEVEL=debug\nTEST_MODE=raw\n"));
    Config::DeactivateForTests(ConfigId::SUPER_LOGGER);  // no event log from this test
    Logger::Info("flush");
    const std::string text = vl_test::ReadFile(Logger::CurrentFilePath());
    EXPECT_NE(text.find("}:[Config::DisplayConfig]Current Configuration set :\n"
                        "-[ConfigOption]:{56, 70}\n"
                        "-[ConfigVariable]:\n"
                        "(1):{debug}\n"
                        "(2):{raw}\n"),
              std::string::npos)
        << text;
}

}  // namespace
