// InstallerReport reads the XML report that a media setup program writes ("--xmlreport"):
// the first element that carries a "Message" attribute (the failure text shown to the page's
// remote log), and the installation records the setup program asks to be written to the
// registry store. On Linux the setup program runs as the user, who cannot write the
// machine's store: it describes its records in the report, and the daemon writes them after a
// successful setup, only below the product installation keys.
//
//   <InstallReport>
//     <Registry key="Software\Quorvanti\Z5\L24\DESIGN\L24_9_ID">
//       <Value name="Path" data="/opt/products/L24_Design"/>
//     </Registry>
//     <Status code="3" Message="disk full"/>
//   </InstallReport>
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace InstallerReport {

using Attributes = std::vector<std::pair<std::string, std::string>>;

// RegistryRecord is one key with its string values, in the report's order.
struct RegistryRecord {
    std::string key;
    Attributes values;
};

struct Report {
    // message holds the attributes of the first element with a "Message" attribute.
    std::optional<Attributes> message;
    std::vector<RegistryRecord> records;
};

// Read parses the report file; false (with why) when it cannot be read or is not XML.
bool Read(const std::string& path, Report& report, std::string& why);

// IsInstallationKey tells whether a key lies below the installation keys that setup programs
// may write (Software\Quorvanti\Z5\ or Software\Quorvanti\Z5_Common\), without "..".
bool IsInstallationKey(const std::string& key);

// Record writes the records to the registry store (64-bit view); a record outside the
// installation keys is refused. False (with why) at the first refusal or failure.
bool Record(const std::vector<RegistryRecord>& records, std::string& why);

}  // namespace InstallerReport
