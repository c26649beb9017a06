// Fuzz target of the request front: the body parser and HandleRequest, in normal and in
// test-harness mode. The input is one flag byte (bit 0: HTTPS, bit 1: test-harness mode),
// then "path\nverb\nbody". Every request must get an answer: the communication page, or one
// JSON object with a return code and its commentary. The argument travels as plain JSON, and
// the dispatch table holds stand-ins only, so nothing leaves the process.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>
#include <string_view>

#include "base/config.h"
#include "base/folders.h"
#include "base/json/json.h"
#include "base/logger.h"
#include "base/query_text.h"
#include "base/toolbox.h"
#include "front/iframe.h"
#include "front/launch_daemon_core.h"
#include "fuzz_support.h"

namespace {

using Core = LaunchDaemonCore;

void Fail(const std::string& what) {
    fuzz_support::Fail("request_fuzz", what);
}

// Stand-in rows: one answers with its parameters, one fails, one reads a field.
const Core::FunctionTable& Functions() {
    static const Core::FunctionTable table{
        {"echo",
         {Core::ParamsRule::AsReceived, true,
          [](const ZorvidRequestInfo&, const JSON::JSONItem& params, JSON::JSONDocument& result) {
              result.SetRoot(params.Clone());
              return 0;
          }}},
        {"shortcut",
         {Core::ParamsRule::WithCreateShortcut, true,
          [](const ZorvidRequestInfo&, const JSON::JSONItem& params, JSON::JSONDocument& result) {
              result.SetRoot(params.Clone());
              return 0;
          }}},
        {"fail",
         {Core::ParamsRule::WithoutCreateShortcut, false,
          [](const ZorvidRequestInfo&, const JSON::JSONItem&, JSON::JSONDocument&) { return 4; }}},
    };
    return table;
}

// StartInfrastructure prepares what the service has at start: folders of the test-harness
// context, a configuration, a log at ERROR, one active session.
void StartInfrastructure() {
    const fuzz_support::ScratchFolder& scratch = fuzz_support::Scratch();
    const std::string base = scratch.Path();
    ::setenv("PMX_KTV_TMP", base.c_str(), 1);
    ::setenv("QVYLD_INSTALL_DIR", base.c_str(), 1);
    ::setenv("QVYLD_LOCK_DIR", base.c_str(), 1);
    ::setenv("QVYLD_SESSION_FILE", scratch.Path("sessions.json").c_str(), 1);
    ::setenv("QVYLD_LOG_STDOUT", "0", 1);
    ::unsetenv("PMX_KTV_UUID");
    ::unsetenv("KtvConfPath");
    fuzz_support::WriteWhole(scratch.Path("sessions.json"),
                             R"([{"id": 1, "user": "u1", "state": 0, "station": "console"}])");
    std::string mainData;
    std::string logFolder;
    if (!FileAndFoldersManager::Init(FolderContext::TEST_HARNESS) ||
        !FileAndFoldersManager::GetFolder(Folder::MAIN_DATA, mainData, true)) {
        Fail("no folders");
    }
    const std::string conf = ToolBox::JoinPath(mainData, "launcher.conf");
    fuzz_support::WriteWhole(conf, "LOGLEVEL=error\nNO_NEED_SEC\n");
    if (!Config::Init(conf) || !FileAndFoldersManager::GetFolder(Folder::LOG, logFolder, true) ||
        !Logger::Init("VantaroLauncher_service", logFolder, "qvy_log_file")) {
        Fail("no configuration or log");
    }
}

void CheckAnswer(const std::string& path, const std::string& answer) {
    if (path == "iframe" && answer == ToolBox::GetIframe()) {
        return;
    }
    JSON::JSONDocument document;
    if (document.Parse(answer) != 0 || document.Root() == nullptr || !document.Root()->IsObject()) {
        Fail("not a JSON object: " + answer);
    }
    const JSON::JSONItem* code = document.Root()->Get("returnCode");
    const JSON::JSONItem* commentary = document.Root()->Get("commentary");
    if (code == nullptr || !code->IsNumber() || commentary == nullptr || !commentary->IsString()) {
        Fail("no return code or commentary: " + answer);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const bool started = (StartInfrastructure(), true);
    (void)started;
    if (size == 0) {
        return 0;
    }
    const bool https = (data[0] & 1) != 0;
    if ((data[0] & 2) != 0) {
        Config::Activate(ConfigId::KTV_MODE);
    } else {
        Config::DeactivateForTests(ConfigId::KTV_MODE);
    }
    const std::string_view rest = fuzz_support::Text(data + 1, size - 1);
    const std::size_t pathEnd = std::min(rest.find('\n'), rest.size());
    const std::size_t verbEnd = std::min(rest.find('\n', pathEnd + 1), rest.size());
    const std::string path(rest.substr(0, pathEnd));
    const std::string verb(
        rest.substr(std::min(pathEnd + 1, rest.size()), verbEnd - std::min(pathEnd + 1, verbEnd)));
    const std::string body(rest.substr(std::min(verbEnd + 1, rest.size())));

    const std::map<std::string, std::string> fields = ToolBox::ParseQueryBody(body);
    for (const auto& [key, value] : fields) {
        if (key.find('&') != std::string::npos || key.find('=') != std::string::npos) {
            Fail("a body key holds a separator: " + key);
        }
    }
    CheckAnswer(path, Core::HandleRequest(path, "fuzz=1", body, verb, https, Functions()));
    return 0;
}
