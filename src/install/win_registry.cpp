#include "install/win_registry.h"

#include "base/logger.h"
#include "platform/sys_error.h"

namespace {

std::vector<std::string> SplitAtComma(const std::string& text) {
    std::vector<std::string> items;
    if (text.empty()) {
        return items;
    }
    std::size_t start = 0;
    while (true) {
        const std::size_t comma = text.find(',', start);
        items.push_back(text.substr(start, comma - start));
        if (comma == std::string::npos) {
            return items;
        }
        start = comma + 1;
    }
}

// StoreFailed tells whether the latest failure is more than a missing key.
bool StoreFailed() {
    const std::uint32_t error = ErrorList::LastSystemError();
    return error != platform::SysError::FILE_NOT_FOUND &&
           error != platform::SysError::PATH_NOT_FOUND;
}

// MatchesFilter logs the first member that does not match.
bool MatchesFilter(const Z5Install& install, const Z5InstallFilter& filter) {
    const Z5InstallFields& f = install.Fields();
    struct Check {
        const char* what;
        const std::string& actual;
        const std::string& wanted;
    };
    const Check checks[] = {
        {"level", f.level, filter.level},
        {"installationType", f.installationType, filter.installationType},
        {"installPath", f.targetPath, filter.installPath},
        {"id", install.Id(), filter.id},
    };
    for (const auto& check : checks) {
        if (!check.wanted.empty() && check.actual != check.wanted) {
            Logger::Debug(std::string("[WinRegistry::FindInstall]Invalid installation ! its ") +
                          check.what + " [" + check.actual + "] does not match filter " +
                          check.what + ": " + check.wanted);
            return false;
        }
    }
    return true;
}

// ScanZ5 walks GA level, installation type and registry identifier keys; false when the top
// key could not be read because the store failed.
bool ScanZ5(std::vector<Z5Install>& raw) {
    const std::string z5 = WinRegistry::kZ5Key;
    std::vector<std::string> gaLevels;
    if (!WinRegistry::RetrieveKeyItems(z5, gaLevels, false)) {
        Logger::Warn(
            "[WinRegistry::FindInstall]Fail to retrieve GAlevel sub-key under this registry key "
            "[Software\\Quorvanti\\Z5] due to : " +
            ErrorList::LastText());
        return !StoreFailed();
    }
    for (const auto& gaLevel : gaLevels) {
        const std::string gaKey = z5 + "\\" + gaLevel;
        Logger::Debug("[WinRegistry::FindInstall]Scanning this gaLevel reg Key : " + gaKey);
        std::vector<std::string> types;
        if (!WinRegistry::RetrieveKeyItems(gaKey, types, false)) {
            Logger::Warn(
                "[WinRegistry::FindInstall]Fail to retrieve installationType sub-key under this "
                "registry key :" +
                gaKey);
            continue;
        }
        for (const auto& type : types) {
            const std::string typeKey = gaKey + "\\" + type;
            Logger::Debug("[WinRegistry::FindInstall]Scanning this instType reg Key : " + typeKey);
            std::vector<std::string> identifiers;
            if (!WinRegistry::RetrieveKeyItems(typeKey, identifiers, false)) {
                continue;
            }
            for (const auto& identifier : identifiers) {
                const std::string identKey = typeKey + "\\" + identifier;
                Logger::Debug("[findInstall]Scanning this regIdent reg Key : " + identKey);
                if (!WinRegistry::BuildInstallFromReg(identKey, identifier, type, raw)) {
                    Logger::Warn(
                        "[WinRegistry::FindInstall]Fail to build installation from these reg "
                        "keys : regIdentRegPath[" +
                        identKey + "]//regIdentSk[" + identifier + "//instTypeSk[" + type + "]");
                }
            }
        }
    }
    return true;
}

bool ScanZ5Common(std::vector<Z5Install>& raw) {
    const std::string common = WinRegistry::kZ5CommonKey;
    std::vector<std::string> types;
    if (!WinRegistry::RetrieveKeyItems(common, types, false)) {
        Logger::Warn(
            "[WinRegistry::FindInstall]Fail to retrieve installationType sub-key under this "
            "registry key [Software\\Quorvanti\\Z5_Common] due to : " +
            ErrorList::LastText());
        return !StoreFailed();
    }
    for (const auto& type : types) {
        const std::string typeKey = common + "\\" + type;
        Logger::Debug("[WinRegistry::FindInstall](Common)Scanning this [Type] reg Key : " +
                      typeKey);
        if (!WinRegistry::BuildInstallFromReg(typeKey, "", type, raw)) {
            Logger::Warn(
                "[WinRegistry::FindInstall]Fail to build installation from these reg keys : "
                "regIdentRegPath[NULL]//regIdentSk[" +
                typeKey + "//instTypeSk[" + type + "]");
        }
    }
    return true;
}

}  // namespace

bool WinRegistry::FindInstall(const Z5InstallFilter& filter,
                              std::vector<Z5Install>& installations) {
    Logger::Debug("[WinRegistry::FindInstall] try to find install with this filter :\n-level:" +
                  filter.level + "\n-installationType:" + filter.installationType +
                  "\n-installPath:" + filter.installPath + "\n-id:" + filter.id);
    // One version of the store for the whole scan: an installer writing meanwhile cannot tear
    // a record in two.
    const platform::RegistrySnapshot consistentScan;
    std::vector<Z5Install> raw;
    const bool z5Read = ScanZ5(raw);
    const bool commonRead = ScanZ5Common(raw);
    Logger::Debug("[WinRegistry::FindInstall]Raw Z5install found counter: " +
                  std::to_string(raw.size()));
    std::string listing = "[WinRegistry::FindInstall] Install vector :";
    for (auto& install : raw) {
        if (!MatchesFilter(install, filter)) {
            continue;
        }
        Logger::Debug("[WinRegistry::FindInstall]New valid installation found: " +
                      install.ToString());
        listing += "\n-" + install.ToString();
        installations.push_back(std::move(install));
    }
    Logger::Debug(listing);
    return z5Read && commonRead;
}

bool WinRegistry::BuildInstallFromReg(const std::string& keyPath,
                                      const std::string& registryIdentifier,
                                      const std::string& installationType,
                                      std::vector<Z5Install>& installations,
                                      RegistryAccess::Root root) {
    Z5InstallFields f;
    if (!GetValue(keyPath, "Level", f.level, true, root) ||
        !GetValue(keyPath, "Path", f.targetPath, true, root) ||
        !GetValue(keyPath, "Osds", f.osds, true, root)) {
        return false;
    }
    std::string bigContent;
    std::string productLine;
    GetValue(keyPath, "PkgId", f.lastBuildId, false, root);
    GetValue(keyPath, "SPlevel", f.SPlevel, false, root);
    GetValue(keyPath, "GAlevel", f.GAlevel, false, root);
    GetValue(keyPath, "LongName", f.longName, false, root);
    GetValue(keyPath, "ShortName", f.shortName, false, root);
    GetValue(keyPath, "Type", f.type, false, root);
    GetValue(keyPath, "BigContent", bigContent, false, root);
    GetValue(keyPath, "ProductLine", productLine, false, root);
    f.isContentInstalled = Z5Install::ContentStateFromText(bigContent);
    f.productLine = SplitAtComma(productLine);
    RetrieveKeyItems(keyPath + "\\prd", f.installedProcesses, true, root);
    RetrieveKeyItems(keyPath + "\\xtra", f.installedXtraProcesses, true, root);
    std::vector<std::string> appKeys;
    RetrieveKeyItems(keyPath + "\\app", appKeys, false, root);
    for (const auto& appKey : appKeys) {
        Z5App app;
        app.appsId = appKey;
        const std::string appPath = keyPath + "\\app\\" + appKey;
        GetValue(appPath, "brand", app.appProductLine, false, RegistryAccess::Root::LocalMachine);
        GetValue(appPath, "wb", app.workbench, false, RegistryAccess::Root::LocalMachine);
        f.apps.push_back(std::move(app));
    }
    f.registry_Identifier = registryIdentifier;
    f.installationType = installationType;
    Z5Install install(std::move(f));
    if (!install.IsValid()) {
        Logger::Debug("[WinRegistry::BuildInstallFromReg]Invalid installation found : " +
                      install.ToString());
        return true;
    }
    Logger::Debug("[WinRegistry::BuildInstallFromReg]Valid installation found : " +
                  install.ToString());
    installations.push_back(std::move(install));
    return true;
}

bool WinRegistry::GetValue(const std::string& keyPath, const std::string& valueName,
                           std::string& value, bool required, RegistryAccess::Root root) {
    value.clear();
    if (RegistryAccess::GetValue(root, keyPath, valueName, value, RegistryAccess::Force64RegView) ==
        RegistryAccess::kSuccess) {
        return true;
    }
    value.clear();
    // An optional value is often absent: that is no news worth more than a trace.
    Logger::Log(required ? LogLevel::Warn : LogLevel::Internal,
                "[WinRegistry::GetValue]Fail to retrieve registry value [" + valueName +
                    "] due to : " + ErrorList::LastText());
    return false;
}

bool WinRegistry::RetrieveKeyItems(const std::string& keyPath, std::vector<std::string>& names,
                                   bool values, RegistryAccess::Root root) {
    names.clear();
    RegistryAccess::Key key;
    if (RegistryAccess::OpenKey(root, keyPath, key, RegistryAccess::KEY_READ_MODE,
                                RegistryAccess::Force64RegView, true) != RegistryAccess::kSuccess) {
        Logger::Debug("[WinRegistry::RetrieveKeyItems]Fail to open this registry key [" + keyPath +
                      "] due to : " + ErrorList::LastText());
        return false;
    }
    const int listed =
        values ? RegistryAccess::GetValues(key, names) : RegistryAccess::GetSubkeys(key, names);
    if (listed != 0) {
        Logger::Warn(std::string("[WinRegistry::RetrieveKeyItems]Fail to retrieve ") +
                     (values ? "values" : "sub-keys") + " for this registry key [" + keyPath +
                     "] due to : " + ErrorList::LastText());
        return false;
    }
    if (RegistryAccess::CloseKey(key) != RegistryAccess::kSuccess) {
        Logger::Warn("[WinRegistry::RetrieveKeyItems]Fail to close this registry key [" + keyPath +
                     "] due to : " + ErrorList::LastText());
        return false;
    }
    return true;
}
