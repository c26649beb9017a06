#include "front/iframe.h"

#include "front/front_env.h"

namespace {

class IframeTest : public FrontEnv {};

TEST_F(IframeTest, ConfiguredFileIsServedWithCrLfLineEnds) {
    WriteFile(Path("page.html"), "<html>\nbody\r\n</html>");
    Config::SetVariableForTests(ConfigId::IFRAME_PATH, Path("page.html"));
    EXPECT_EQ(ToolBox::BuildIframe(), "<html>\r\nbody\r\n</html>\r\n");
    EXPECT_TRUE(
        Logged("{DEBUG}:[ToolBox::GetIframe] Config varaibles to point out a specific "
               "iframe to : " +
               Path("page.html")));
}

TEST_F(IframeTest, MissingOrEmptyFileFallsBackToTheBuiltInPage) {
    Config::SetVariableForTests(ConfigId::IFRAME_PATH, Path("missing.html"));
    EXPECT_EQ(ToolBox::BuildIframe(), ToolBox::DefaultIframe());
    EXPECT_TRUE(
        Logged("{DEBUG}:[ToolBox::GetIframe] Config varaibles to point out a specific "
               "iframe that does not exist : " +
               Path("missing.html")));

    WriteFile(Path("empty.html"), "");
    Config::SetVariableForTests(ConfigId::IFRAME_PATH, Path("empty.html"));
    EXPECT_EQ(ToolBox::BuildIframe(), ToolBox::DefaultIframe());
}

// The page is gathered once per process: later configuration changes are not seen.
TEST_F(IframeTest, PageIsGatheredOnce) {
    const std::string first = ToolBox::GetIframe();
    WriteFile(Path("page.html"), "changed");
    Config::SetVariableForTests(ConfigId::IFRAME_PATH, Path("page.html"));
    EXPECT_EQ(ToolBox::GetIframe(), first);
    EXPECT_TRUE(
        Logged("{DEBUG}:[ToolBox::GetIframe]Iframe already buffered ! use the  current "
               "buffer"));
}

}  // namespace
