#include "install/installer_report.h"

#include <fstream>
#include <memory>
#include <sstream>

#include "install/win_registry.h"
#include "platform/registry.h"

#ifdef VL_HAVE_EXPAT
#include <expat.h>
#endif

namespace InstallerReport {

#ifdef VL_HAVE_EXPAT
namespace {

struct ParseState {
    Report* report = nullptr;
    bool inRegistry = false;
};

Attributes ToAttributes(const XML_Char** attributes) {
    Attributes out;
    for (int i = 0; attributes[i] != nullptr && attributes[i + 1] != nullptr; i += 2) {
        out.emplace_back(attributes[i], attributes[i + 1]);
    }
    return out;
}

std::string Find(const Attributes& attributes, const std::string& name) {
    for (const auto& [key, value] : attributes) {
        if (key == name) {
            return value;
        }
    }
    return {};
}

bool HasAttribute(const Attributes& attributes, const std::string& name) {
    for (const auto& entry : attributes) {
        if (entry.first == name) {
            return true;
        }
    }
    return false;
}

void XMLCALL StartElement(void* data, const XML_Char* name, const XML_Char** attributes) {
    ParseState& state = *static_cast<ParseState*>(data);
    const Attributes list = ToAttributes(attributes);
    const std::string element = name;
    if (!state.report->message && HasAttribute(list, "Message")) {
        state.report->message = list;
    }
    if (element == "Registry") {
        state.inRegistry = true;
        state.report->records.push_back({Find(list, "key"), {}});
    } else if (element == "Value" && state.inRegistry) {
        state.report->records.back().values.emplace_back(Find(list, "name"), Find(list, "data"));
    }
}

void XMLCALL EndElement(void* data, const XML_Char* name) {
    if (std::string(name) == "Registry") {
        static_cast<ParseState*>(data)->inRegistry = false;
    }
}

using ParserPtr = std::unique_ptr<std::remove_pointer_t<XML_Parser>, decltype(&XML_ParserFree)>;

}  // namespace

bool Read(const std::string& path, Report& report, std::string& why) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        why = "cannot open " + path;
        return false;
    }
    std::ostringstream text;
    text << in.rdbuf();
    const std::string content = text.str();
    ParserPtr parser(XML_ParserCreate("UTF-8"), &XML_ParserFree);
    if (!parser) {
        why = "no XML parser";
        return false;
    }
    ParseState state{&report, false};
    XML_SetUserData(parser.get(), &state);
    XML_SetElementHandler(parser.get(), StartElement, EndElement);
    if (XML_Parse(parser.get(), content.data(), static_cast<int>(content.size()), XML_TRUE) ==
        XML_STATUS_ERROR) {
        why = std::string("not XML: ") + XML_ErrorString(XML_GetErrorCode(parser.get())) +
              " at line " + std::to_string(XML_GetCurrentLineNumber(parser.get()));
        return false;
    }
    return true;
}
#else
// A build without Expat reads no report: the setup's exit code alone decides.
bool Read(const std::string& /*path*/, Report& /*report*/, std::string& why) {
    why = "this build reads no installer reports";
    return false;
}
#endif

bool IsInstallationKey(const std::string& key) {
    const std::string z5 = std::string(WinRegistry::kZ5Key) + "\\";
    const std::string common = std::string(WinRegistry::kZ5CommonKey) + "\\";
    const bool below = (key.rfind(z5, 0) == 0 && key.size() > z5.size()) ||
                       (key.rfind(common, 0) == 0 && key.size() > common.size());
    return below && key.find("..") == std::string::npos && key.find('/') == std::string::npos;
}

bool Record(const std::vector<RegistryRecord>& records, std::string& why) {
    for (const RegistryRecord& record : records) {
        if (!IsInstallationKey(record.key)) {
            why = "the key [" + record.key + "] is not an installation key";
            return false;
        }
        platform::RegistryKey key;
        std::uint32_t error = platform::CreateRegistryKey(
            platform::RegistryRoot::LocalMachine, record.key, platform::RegistryView::Force64, key);
        for (const auto& [name, data] : record.values) {
            if (error == 0) {
                error = key.SetString(name, data);
            }
        }
        if (error == 0) {
            error = key.Close();
        }
        if (error != 0) {
            why = "cannot write the key [" + record.key + "] (error " + std::to_string(error) + ")";
            return false;
        }
    }
    return true;
}

}  // namespace InstallerReport
