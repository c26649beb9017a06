#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/test_support.h"

namespace {

// Only "- `reason`" lines of the "Known gaps" section count; other sections, prose and
// lines without a closed, non-empty code span are not reasons.
TEST(KnownGapsTest, ReasonsComeFromTheirSectionOnly) {
    const std::string readme =
        "# Title\n"
        "- `not a gap`: another section\n"
        "## Known gaps\n"
        "Prose with `code` is no reason; ``- `example`: why`` neither.\n"
        "- `no browser`: why\n"
        "- `no IPv6 loopback here`\n"
        "- `unclosed: why\n"
        "- ``: empty\n"
        "  - `indented`: not a list line of the section\n"
        "## Known gaps later\n"
        "- `after the section`: no\n";
    EXPECT_EQ(vl_test::KnownGapReasons(readme),
              (std::vector<std::string>{"no browser", "no IPv6 loopback here"}));
}

}  // namespace
