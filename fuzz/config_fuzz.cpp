// Fuzz target of the configuration reader. Any file must be read without harm; a value is
// one line's text and never holds a line break, and reading the same file twice gives the
// same switches and settings.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "base/config.h"
#include "base/logger.h"
#include "fuzz_support.h"

namespace {

void Fail(const std::string& what) {
    fuzz_support::Fail("config_fuzz", what);
}

// Snapshot lists every switch that is on and every setting with its value.
std::vector<std::string> Snapshot() {
    std::vector<std::string> seen;
    for (std::int32_t id = 0; id < 100; ++id) {
        if (Config::IsActivated(id)) {
            seen.push_back("option " + std::to_string(id));
        }
        std::string value;
        if (Config::GetVariable(id, value)) {
            if (value.find('\n') != std::string::npos) {
                Fail("setting " + std::to_string(id) + " holds a line break");
            }
            seen.push_back("variable " + std::to_string(id) + "=" + value);
        }
    }
    return seen;
}

std::vector<std::string> ReadConfig(const std::string& path) {
    Logger::ResetForTests();  // drops the lines kept for a logger that never starts
    Config::ResetForTests();
    if (!Config::Init(path)) {
        Fail("Init refused an existing file");
    }
    return Snapshot();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::string path = [] {
        ::unsetenv("KtvConfPath");
        ::unsetenv("PMX_KTV_UUID");
        return fuzz_support::Scratch().Path("launcher.conf");
    }();
    fuzz_support::WriteWhole(path, fuzz_support::Text(data, size));
    if (ReadConfig(path) != ReadConfig(path)) {
        Fail("two reads of one file differ");
    }
    Config::DisplayConfig();
    return 0;
}
