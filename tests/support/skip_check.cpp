// Under CI=true every test program checks its skipped tests: a skip whose reason contains none
// of the texts listed in the README's "Known gaps" section fails its test, so that a machine
// lacking a tool cannot make a test pass silently. A new reason is one more line there.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "support/test_support.h"

namespace vl_test {

std::vector<std::string> KnownGapReasons(const std::string& readme) {
    std::vector<std::string> reasons;
    std::istringstream lines(readme);
    std::string line;
    bool inSection = false;
    while (std::getline(lines, line)) {
        if (line.rfind("## ", 0) == 0) {
            inSection = line == "## Known gaps";
            continue;
        }
        const std::size_t open = line.find('`');
        const std::size_t close = open == std::string::npos ? open : line.find('`', open + 1);
        if (inSection && line.rfind("- `", 0) == 0 && close != std::string::npos &&
            close > open + 1) {
            reasons.push_back(line.substr(open + 1, close - open - 1));
        }
    }
    return reasons;
}

}  // namespace vl_test

namespace {

class SkipCheck : public ::testing::EmptyTestEventListener {
  public:
    explicit SkipCheck(std::vector<std::string> reasons) : reasons_(std::move(reasons)) {}

    void OnTestPartResult(const ::testing::TestPartResult& result) override {
        if (result.skipped() && !Known(result.message())) {
            unlisted_.emplace_back(result.message());
        }
    }
    // A skip in a test fails that test; one in a suite's set-up fails the suite.
    void OnTestEnd(const ::testing::TestInfo&) override { Report(); }
    void OnTestSuiteEnd(const ::testing::TestSuite&) override { Report(); }

  private:
    bool Known(const std::string& message) const {
        for (const std::string& reason : reasons_) {
            if (message.find(reason) != std::string::npos) {
                return true;
            }
        }
        return false;
    }

    void Report() {
        for (const std::string& message : std::exchange(unlisted_, {})) {
            ADD_FAILURE() << "skipped under CI=true for a reason that README.md does not list "
                             "under \"Known gaps\": \""
                          << message << "\"";
        }
    }

    std::vector<std::string> reasons_;
    std::vector<std::string> unlisted_;
};

std::string ReadReadme() {
    std::ifstream in(std::string(VL_SOURCE_DIR) + "/README.md");
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Registered before main runs; gtest owns its listeners.
[[maybe_unused]] const bool kSkipCheckInstalled = [] {
    const char* ci = std::getenv("CI");
    if (ci == nullptr || std::string(ci) != "true") {
        return false;
    }
    auto check = std::make_unique<SkipCheck>(vl_test::KnownGapReasons(ReadReadme()));
    ::testing::UnitTest::GetInstance()->listeners().Append(check.release());
    return true;
}();

}  // namespace
