// The server's port and domain files, read in-process.
#include <gtest/gtest.h>

#include "front/win_http_server.h"
#include "support/test_support.h"

namespace vl_test {
namespace {

class ServerConfig : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(InitInfrastructure(dir_));
        WinHttpServer::ResetForTests();
    }
    void TearDown() override {
        WinHttpServer::ResetForTests();
        ResetInfrastructure();
    }

    TempDir dir_;
    ScopedEnv install_{"QVYLD_INSTALL_DIR", dir_.Path()};
};

TEST_F(ServerConfig, PortFileHoldsOneWholePortNumber) {
    const struct {
        const char* text;
        std::int32_t port;
    } cases[] = {
        {"65535\n", 65535}, {"0\n", 0},      {" 8443\n", 8443}, {"+8443\n", 8443},
        {"443\nx\n", 443},  {"65536\n", -1}, {"-1\n", -1},      {"80x\n", -1},
        {"x\n", -1},        {"\n", -1},      {"", -1},          {"99999999999999999999\n", -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        WriteFile(dir_.Path("serv.port"), c.text);
        EXPECT_EQ(WinHttpServer::extractPortFromFile(dir_.Path("serv.port")), c.port);
    }
    EXPECT_EQ(WinHttpServer::extractPortFromFile(dir_.Path("missing")), -1);
}

TEST_F(ServerConfig, InternalPortNeverSharesTheMainPort) {
    WriteFile(dir_.Path("serv.port"), "8443\n");
    WriteFile(dir_.Path("serv.internal.port"), "8443\n");
    WinHttpServer::ResolvePort();
    EXPECT_EQ(WinHttpServer::MainPort(), 8443);
    EXPECT_GT(WinHttpServer::InternalPort(), 0);
    EXPECT_NE(WinHttpServer::InternalPort(), 8443);

    WriteFile(dir_.Path("serv.internal.port"), "9080\n");
    WinHttpServer::ResetForTests();
    WinHttpServer::ResolvePort();
    EXPECT_EQ(WinHttpServer::InternalPort(), 9080);
}

TEST_F(ServerConfig, UnusablePortFileLeavesNoMainPort) {
    WriteFile(dir_.Path("serv.port"), "x\n");
    WinHttpServer::ResolvePort();
    EXPECT_EQ(WinHttpServer::MainPort(), -1);
    EXPECT_EQ(WinHttpServer::Run(), 0xFFFFFFFFu);
    EXPECT_TRUE(WinHttpServer::Stop());  // nothing was opened: no wait
}

TEST_F(ServerConfig, DomainIsTheFirstLineOrTheDefault) {
    EXPECT_EQ(WinHttpServer::LoadDomain(), WinHttpServer::kDefaultDomain);
    WriteFile(dir_.Path("serv.domain"), "\nother.test\n");
    EXPECT_EQ(WinHttpServer::LoadDomain(), WinHttpServer::kDefaultDomain);
    WriteFile(dir_.Path("serv.domain"), "pages.test \nother.test\n");
    EXPECT_EQ(WinHttpServer::LoadDomain(), "pages.test ");
}

}  // namespace
}  // namespace vl_test
