// Fuzz target of the session file: whatever the file holds, the session list is read or
// refused as a whole, and every listed session can be looked up and queried.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "platform/sessions.h"
#include "platform/sessions_common.h"

namespace {

void Fail(const std::string& what) {
    fuzz_support::Fail("session_fuzz", what);
}

const std::string& SessionFile() {
    static const std::string path = [] {
        std::string file = fuzz_support::Scratch().Path("sessions.json");
        ::setenv("QVYLD_SESSION_FILE", file.c_str(), 1);
        return file;
    }();
    return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz_support::WriteWhole(SessionFile(), fuzz_support::Text(data, size));
    std::vector<platform::SessionRecord> sessions;
    std::uint32_t error = 0;
    if (!platform::EnumerateSessions(sessions, error)) {
        if (!sessions.empty() || error == 0) {
            Fail("a refused file left sessions or no error");
        }
        return 0;
    }
    for (const platform::SessionRecord& listed : sessions) {
        platform::SessionRecord found;
        if (!platform::FindSession(listed.id, found)) {
            Fail("listed session " + std::to_string(listed.id) + " is not found");
        }
        for (int infoClass = 0; infoClass < 32; ++infoClass) {
            std::string value;
            platform::QuerySessionInfo(listed.id, infoClass, value);
        }
    }
    platform::SessionRecord current;
    platform::FindSession(platform::kCurrentSession, current);
    return 0;
}
