#include "front/decrypt_argument.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <mutex>
#include <vector>

#include "base/config.h"
#include "base/folders.h"
#include "base/json/json.h"
#include "base/logger.h"
#include "base/toolbox.h"
#include "base/zorvid_request_info.h"
#include "session/companions.h"
#include "session/operations_as_user.h"
#include "session/operations_as_user_web.h"

namespace Operations {

namespace {

constexpr const char* kTag = "[Operations::DecryptArgument]";
constexpr const char* kWhiteListFile = "whiteList_url";

// The trusted test is "the base server is longer than 24 characters and ends with the page
// server's name". With a 25-character name one level below our registrable domain, any
// base that passes is either our server itself or some "<x>launchpages.quorvanti.com" or
// "<x>.launchpages.quorvanti.com": names inside quorvanti.com, which only we can register.
// A shorter name, or the bare registrable domain, would let anyone register a lookalike
// such as "evil-quorvanti.com" that ends with it.
static_assert(sizeof(kTrustedPageServer) - 1 == 25);

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

// IsHostText tells whether the host part holds only what a host name may hold, so that an
// address like "https://evil.example?launchpages.quorvanti.com" (no third "/", so the whole
// text is its "base") cannot pass for our server.
bool IsHostText(const std::string& base) {
    const std::size_t start = base.find("//");
    if (start == std::string::npos) {
        return false;
    }
    return std::all_of(base.begin() + static_cast<std::ptrdiff_t>(start) + 2, base.end(),
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

std::string BaseServer(const std::string& url) {
    std::size_t slash = std::string::npos;
    for (int count = 0; count < 3; ++count) {
        slash = url.find('/', slash == std::string::npos ? 0 : slash + 1);
        if (slash == std::string::npos) {
            break;
        }
    }
    std::string base = url.substr(0, slash);
    const std::size_t firstColon = base.find(':');
    if (firstColon != std::string::npos) {
        const std::size_t secondColon = base.find(':', firstColon + 1);
        if (secondColon != std::string::npos) {
            base.resize(secondColon);
        }
    }
    return base;
}

bool IsOnTrustedPageServer(const std::string& url) {
    const std::string base = BaseServer(url);
    const std::string host = kTrustedPageServer;
    return base.size() > 24 && base.size() >= host.size() &&
           base.compare(base.size() - host.size(), host.size(), host) == 0 && IsHostText(base);
}

bool DecryptArgument(const ZorvidRequestInfo& identity, const std::string& encryptedArg,
                     std::string& plain) {
    if (!identity.IsInitialised() || identity.GetCasTgc().empty() ||
        identity.GetEncryptionWsUrl().empty()) {
        if (Config::IsActivated(ConfigId::NO_NEED_SEC)) {
            Logger::Debug(std::string(kTag) +
                          "No CASTGC or security server specified ! aborting decryption and use "
                          "the raw argument : " +
                          encryptedArg);
            plain = encryptedArg;
            return true;
        }
        Logger::Debug(std::string(kTag) +
                      "No CASTGC or security server specified ! aborting decryption.");
        plain.clear();
        return false;
    }

    // The address comes without its "#" fragment (the identity drops it).
    const std::string& url = identity.GetEncryptionWsUrl();
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
