#include "support/test_support.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "base/config.h"
#include "base/folders.h"
#include "base/logger.h"
#include "base/toolbox.h"
#include "platform/path.h"

namespace fs = std::filesystem;

namespace vl_test {

TempDir::TempDir() {
    static std::atomic<unsigned> counter{0};
    std::random_device random;
    const fs::path base = fs::temp_directory_path();
    for (;;) {
        fs::path candidate = base / ("vl_test_" + std::to_string(random()) + "_" +
                                     std::to_string(counter.fetch_add(1)));
        std::error_code ec;
        if (fs::create_directory(candidate, ec)) {
            path_ = candidate.string();
            return;
        }
    }
}

TempDir::~TempDir() {
    std::error_code ec;
    fs::remove_all(fs::path(path_), ec);
}

std::string TempDir::Path(const std::string& leaf) const {
    // Tests write leaves with '/': the path uses the platform's separator throughout.
    std::string native = leaf;
    std::replace(native.begin(), native.end(), '/', platform::PathSeparator());
    return ToolBox::JoinPath(path_, native);
}

bool WriteFile(const std::string& path, const std::string& text) {
    std::error_code ec;
    const fs::path p(path);
    if (p.has_parent_path()) {
        fs::create_directories(p.parent_path(), ec);
    }
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out << text;
    return static_cast<bool>(out);
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(fs::path(path), std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void ResetInfrastructure() {
    const char* show = std::getenv("QVYLD_LOG_STDOUT");
    Logger::SetStdoutCopy(show != nullptr && std::string(show) == "1");
    Logger::SetClockForTests(nullptr);
    Logger::ResetForTests();
    Config::ResetForTests();
    FileAndFoldersManager::ResetForTests();
    ToolBox::GlobalStopOrder() = false;
}

bool WriteLauncherConf(const std::string& path, const std::vector<std::string>& lines) {
    std::string text = "LOGLEVEL=all\n";
    for (const std::string& line : lines) {
        text += line + "\n";
    }
    return WriteFile(path, text);
}

bool InitInfrastructure(const TempDir& dir) {
    ResetInfrastructure();
    ScopedEnv tmp("PMX_KTV_TMP", dir.Path());
    if (!FileAndFoldersManager::Init(FolderContext::TEST_HARNESS)) {
        return false;
    }
    std::string mainData;
    std::string logFolder;
    if (!FileAndFoldersManager::GetFolder(Folder::MAIN_DATA, mainData, true) ||
        !Config::Init(ToolBox::JoinPath(mainData, "launcher.conf")) ||
        !FileAndFoldersManager::GetFolder(Folder::LOG, logFolder, true)) {
        return false;
    }
    return Logger::Init("VantaroLauncher_service", logFolder, "qvy_log_file");
}

std::string PercentEncode(const std::string& text) {
    std::string out;
    for (const unsigned char c : text) {
        if (std::isalnum(c) != 0 || c == '-' || c == '_' || c == '.' || c == '~') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += "0123456789ABCDEF"[c >> 4];
            out += "0123456789ABCDEF"[c & 15];
        }
    }
    return out;
}

}  // namespace vl_test
