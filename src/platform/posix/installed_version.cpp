#include "platform/installed_version.h"

#include <fstream>

#include "platform/known_folders.h"

namespace platform {

std::string InstalledLauncherVersion() {
    const std::string folder = ExecutableFolder();
    if (folder.empty()) {
        return {};
    }
    std::ifstream in(folder + "/version");
    std::string line;
    if (!in || !std::getline(in, line)) {
        return {};
    }
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) {
        line.pop_back();
    }
    return line;
}

}  // namespace platform
