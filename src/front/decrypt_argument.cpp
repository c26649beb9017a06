#include "front/decrypt_argument.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string_view>
#include <vector>

#include "base/config.h"
#include "base/folders.h"
#include "base/json/json.h"
#include "base/log_text.h"
#include "base/logger.h"
#include "base/toolbox.h"
#include "base/zorvid_request_info.h"
#include "platform/url.h"
#include "session/companions.h"
#include "session/operations_as_user.h"
#include "session/operations_as_user_web.h"

namespace Operations {

namespace {

constexpr const char* kTag = "[Operations::DecryptArgument]";
constexpr const char* kWhiteListFile = "whiteList_url";

// WhiteList is the process-wide list of accepted service addresses. One mutex guards the
// list, its loaded flag and the file, so concurrent requests neither lose an address nor
// write the file over each other; the dialog runs outside it.
class WhiteList {
  public:
    bool Contains(const std::string& url) {
        std::lock_guard lock(mutex_);
        LoadLocked();
        return std::find(entries_.begin(), entries_.end(), url) != entries_.end();
    }

    // Add appends the URL (once) and rewrites the file whole.
    void Add(const std::string& url) {
        std::lock_guard lock(mutex_);
        LoadLocked();
        if (std::find(entries_.begin(), entries_.end(), url) != entries_.end()) {
            return;
        }
        entries_.push_back(url);
        if (path_.empty() || !ToolBox::File::WriteLinesAtomic(path_, entries_)) {
            Logger::Error(std::string(kTag) +
                          "Fail to update content of the white list here : " + path_);
        }
    }

    void Reset() {
        std::lock_guard lock(mutex_);
        loaded_ = false;
        entries_.clear();
        path_.clear();
    }

  private:
    void LoadLocked() {
        if (loaded_) {
            return;
        }
        std::string folder;
        if (!FileAndFoldersManager::GetFolder(Folder::DAEMON_INSTALL_PATH, folder)) {
            return;  // tried again at the next request
        }
        loaded_ = true;
        path_ = ToolBox::JoinPath(folder, kWhiteListFile);
        if (!ToolBox::PathExists(path_)) {
            return;
        }
        std::vector<std::string> lines;
        if (!ToolBox::File::ReadLines(path_, lines)) {
            Logger::Error(std::string(kTag) + "Fail to read this file : " + path_);
            return;
        }
        for (std::string& line : lines) {
            if (!line.empty() && line.back() == '\r') {
                line.pop_back();
            }
            if (!line.empty()) {
                entries_.push_back(line);
            }
        }
        std::string joined;
        for (const std::string& entry : entries_) {
            if (!joined.empty()) {
                joined += ',';
            }
            joined += entry;
        }
        Logger::Debug(std::string(kTag) + "White list set to : [" + joined + "]");
    }

    std::mutex mutex_;
    bool loaded_ = false;
    std::string path_;
    std::vector<std::string> entries_;
};

WhiteList& TheWhiteList() {
    static WhiteList list;
    return list;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](unsigned char x, unsigned char y) {
               return std::tolower(x) == std::tolower(y);
           });
}

bool IsHostName(const std::string& host) {
    return std::all_of(host.begin(), host.end(),
                       [](unsigned char c) { return std::isalnum(c) || c == '-' || c == '.'; });
}

// AskUser shows the worker's validation dialog; the answer, 2 when there is none.
std::int32_t AskUser(const ZorvidRequestInfo& identity, const std::string& url) {
    const JSON::ItemPtr address = JSON::CreateString(url);
    JSON::ItemPtr content;
    // The operation's own result is not looked at: only an answer in the content counts.
    Operations::AsUser::RunOperationByUserExtension(identity, Companions::kVerbUrl, address.get(),
                                                    content);
    if (!content || !content->IsNumber()) {
        return WebOperationCodes::kDialogFailed;
    }
    return content->GetInt();
}

}  // namespace

std::optional<std::string> UrlRefusal(const std::string& url) {
    if (std::any_of(url.begin(), url.end(),
                    [](unsigned char c) { return c <= 0x20 || c == 0x7f; })) {
        return "it holds a control character or a blank";
    }
    platform::UrlParts parts;
    if (!platform::ParseUrl(url, parts)) {
        return "it is not an absolute URL";
    }
    if (parts.scheme != "https") {
        return "its scheme is not https";
    }
    if (parts.hasUserInfo) {
        return "it names a user before its host";
    }
    return std::nullopt;
}

std::string BaseServer(const std::string& url) {
    platform::UrlParts parts;
    return platform::ParseUrl(url, parts) ? parts.scheme + "://" + parts.host : std::string();
}

// The trusted test compares the host that a URL parser finds, never a cut of the text: the
// host must be the page server itself or a name below it ("<x>.launchpages.quorvanti.com"),
// which only we can register. A cut at the second ":" would take
// "https://launchpages.quorvanti.com:x@evil.example" for our server.
bool IsOnTrustedPageServer(const std::string& url) {
    platform::UrlParts parts;
    if (UrlRefusal(url) || !platform::ParseUrl(url, parts) || !IsHostName(parts.host)) {
        return false;
    }
    const std::string_view host = parts.host;
    const std::string_view trusted = kTrustedPageServer;
    if (host.size() == trusted.size()) {
        return EqualsNoCase(host, trusted);
    }
    return host.size() > trusted.size() + 1 && host[host.size() - trusted.size() - 1] == '.' &&
           EqualsNoCase(host.substr(host.size() - trusted.size()), trusted);
}

bool DecryptArgument(const ZorvidRequestInfo& identity, const std::string& encryptedArg,
                     std::string& plain) {
    if (!identity.IsInitialised() || identity.GetCasTgc().empty() ||
        identity.GetEncryptionWsUrl().empty()) {
        if (Config::IsActivated(ConfigId::NO_NEED_SEC)) {
            Logger::Debug(std::string(kTag) +
                          "No CASTGC or security server specified ! aborting decryption and use "
                          "the raw argument : " +
                          ToolBox::EscapeControls(encryptedArg));
            plain = encryptedArg;
            return true;
        }
        Logger::Debug(std::string(kTag) +
                      "No CASTGC or security server specified ! aborting decryption.");
        plain.clear();
        return false;
    }

    // The address comes without its "#" fragment (the identity drops it). An address that
    // could fool a reader of the log, the dialog or the white list file goes no further.
    const std::string& url = identity.GetEncryptionWsUrl();
    if (const std::optional<std::string> refusal = UrlRefusal(url)) {
        Logger::Error(std::string(kTag) + "Refuse the decryption service [" +
                      ToolBox::EscapeControls(url) + "] : " + *refusal);
        plain.clear();
        return false;
    }
    WhiteList& whiteList = TheWhiteList();
    if (!whiteList.Contains(url) && !Config::IsActivated(ConfigId::IGNORE_POPUP)) {
        Logger::Debug(std::string(kTag) + "URL base server : " + BaseServer(url));
        if (IsOnTrustedPageServer(url)) {
            Logger::Info(std::string(kTag) + "Automatically accept the use of this url : " + url);
            whiteList.Add(url);
        } else {
            const std::int32_t answer = AskUser(identity, url);
            if (answer == Companions::kUrlAcceptedAlways) {
                Logger::Info(std::string(kTag) + "user accept the use of this url : " + url);
                whiteList.Add(url);
            } else if (answer == Companions::kUrlAcceptedOnce) {
                Logger::Info(std::string(kTag) +
                             "user accept the one-time-usage of this url  : " + url);
            } else if (answer == Companions::kUrlRefused) {
                Logger::Info(std::string(kTag) + "user refuse the use of this url : " + url);
                plain.clear();
                return false;
            } else {
                Logger::Error(std::string(kTag) +
                              "Validation Gui fail ! return code : " + std::to_string(answer));
                plain.clear();
                return false;
            }
        }
    }

    std::string answer;
    const std::uint32_t code =
        Operations::AsUser::CallWebServiceAsUser(identity, url, encryptedArg, answer, false);
    if (code != 0) {
        Logger::Error(std::string(kTag) + "Fail to access Webservice behind [" + url +
                      "] ! status code : " + std::to_string(code));
        plain.clear();
        return false;
    }
    plain = answer;
    return true;
}

void ResetWhiteListForTests() {
    TheWhiteList().Reset();
}

}  // namespace Operations
