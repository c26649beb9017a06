// WinRegistry finds the product installations that installers record in the registry:
//   HKLM\Software\Quorvanti\Z5\<GA level>\<installation type>\<registry identifier>
//   HKLM\Software\Quorvanti\Z5_Common\<installation type>
// and builds one Z5Install per installation key (64-bit view).
#pragma once

#include <string>
#include <vector>

#include "install/registry_access.h"
#include "install/z5_install.h"

// Z5InstallFilter selects installations; an empty member matches everything.
struct Z5InstallFilter {
    std::string level;
    std::string installationType;
    std::string installPath;
    std::string id;
};

class WinRegistry {
  public:
    static constexpr const char* kZ5Key = "Software\\Quorvanti\\Z5";
    static constexpr const char* kZ5CommonKey = "Software\\Quorvanti\\Z5_Common";

    // FindInstall appends the valid installations that match the filter, in registry order
    // (GA levels, types, identifiers, then the common installations). The scan always
    // completes; false means that a top key could not be read for another reason than its
    // absence (the store itself failed).
    static bool FindInstall(const Z5InstallFilter& filter, std::vector<Z5Install>& installations);

    // BuildInstallFromReg reads one installation key; false when a required value (Level, Path,
    // Osds) is missing. A record whose folder is missing is dropped (true, nothing appended).
    static bool BuildInstallFromReg(const std::string& keyPath,
                                    const std::string& registryIdentifier,
                                    const std::string& installationType,
                                    std::vector<Z5Install>& installations,
                                    RegistryAccess::Root root = RegistryAccess::Root::LocalMachine);

    static bool GetValue(const std::string& keyPath, const std::string& valueName,
                         std::string& value, bool required,
                         RegistryAccess::Root root = RegistryAccess::Root::LocalMachine);

    // RetrieveKeyItems lists the sub-key names of a key, or with values set its value names.
    static bool RetrieveKeyItems(const std::string& keyPath, std::vector<std::string>& names,
                                 bool values,
                                 RegistryAccess::Root root = RegistryAccess::Root::LocalMachine);
};
