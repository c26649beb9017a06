// Z5Install is one product installation as the registry records it: its level, folder,
// operating-system folder, processes, product lines and applications, with an id computed
// from that content so that a page can name the installation back in later requests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/json/json.h"

// Z5App is one application of an installation.
struct Z5App {
    std::string appsId;
    std::string appProductLine;
    std::string workbench;

    // ToString is "[appsId:<id>,appProductLine:<line>,workbench:<wb>]"; the id hashes it.
    std::string ToString() const;
};

// Z5InstallFields is the content of an installation record, as read from the registry.
struct Z5InstallFields {
    std::string level;
    std::string GAlevel;
    std::string SPlevel;
    std::string shortName;
    std::string longName;
    std::string targetPath;
    std::string registry_Identifier;  // empty for a common installation
    std::string installationType;
    std::string osds;
    std::string type;
    std::string lastBuildId;
    std::int32_t isContentInstalled = 3;
    std::vector<std::string> productLine;
    std::vector<std::string> installedProcesses;
    std::vector<std::string> installedXtraProcesses;
    std::vector<Z5App> apps;
};

class Z5Install {
  public:
    // Content states of isContentInstalled.
    static constexpr std::int32_t CONTENT_INSTALLED = 1;
    static constexpr std::int32_t CONTENT_NOT_INSTALLED = 2;
    static constexpr std::int32_t CONTENT_UNKNOWN = 3;

    // Z5Install stores the fields, computes the id and checks that targetPath exists; a
    // record whose folder is missing is logged and marked invalid.
    explicit Z5Install(Z5InstallFields fields);

    // ContentStateFromText maps the registry's "BigContent" text: "true" 1, "false" 2 (in any
    // case), anything else 3.
    static std::int32_t ContentStateFromText(const std::string& bigContent);

    // ComputeId is the 64-bit FNV-1a hash of the concatenated content, in decimal.
    std::string ComputeId() const;
    // ToJSON is the object sent to pages (empty texts and lists as null; isContentInstalled
    // left out when unknown).
    JSON::ItemPtr ToJSON() const;
    // ToString is the one-line text for logs.
    std::string ToString() const;

    const std::string& Id() const { return id_; }
    const Z5InstallFields& Fields() const { return fields_; }
    bool IsValid() const { return valid_; }

  private:
    Z5InstallFields fields_;
    std::string id_;
    bool valid_ = false;
};
