// The worker operations that reach the network, the disk and the desktop on the user's
// behalf: web-service calls, media downloads, archive unpacking and shortcuts, and the codes
// their replies carry. Both the daemon (which asks) and the worker (which answers) use it.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class ZorvidRequestInfo;

namespace WebOperationCodes {

// "CallWS" answers rc 0 with the answer text, or a failure rc: the HTTP status itself for
// an answer outside 2xx (300 to 599), or kTransportBase + the transfer library's error
// number when no answer came (1006 unknown host, 1007 no connection, 1028 time limit,
// 1035 TLS handshake, 1060 certificate not trusted, 1001 a redirect to a scheme other
// than https).
inline constexpr std::int32_t kTransportBase = 1000;

// "DownloadMedia" always answers rc 0; the content's "rc" tells the download's own result.
inline constexpr std::int32_t kDownloadOk = 0;
inline constexpr std::int32_t kDownloadBadMedia = 20;        // description unusable
inline constexpr std::int32_t kDownloadTransferFailed = 21;  // no complete answer
inline constexpr std::int32_t kDownloadSizeMismatch = 22;
inline constexpr std::int32_t kDownloadChecksumMismatch = 23;
inline constexpr std::int32_t kDownloadNoSpace = 24;  // too little room, before or while writing
inline constexpr std::int32_t kDownloadFileError = 25;

// "Unzip" always answers rc 0; the content's "rc" tells the unpacking's own result.
inline constexpr std::int32_t kUnzipOk = 0;
inline constexpr std::int32_t kUnzipUnreadable = 30;   // missing, damaged or unknown format
inline constexpr std::int32_t kUnzipUnsafeEntry = 31;  // an entry would land outside
inline constexpr std::int32_t kUnzipNoSpace = 32;      // refused before the first entry
inline constexpr std::int32_t kUnzipWriteFailed = 33;

// "mkshortcut" answers the shortcut result: 0, or kShortcutFailed (an HRESULT E_FAIL).
inline constexpr std::int32_t kShortcutOk = 0;
inline constexpr std::int32_t kShortcutFailed = static_cast<std::int32_t>(0x80004005u);

// The "url" dialog's failure value when no answer could be read.
inline constexpr std::int32_t kDialogFailed = 2;

}  // namespace WebOperationCodes

namespace Operations::AsUser {

// CallWebServiceAsUser posts the argument to the URL through the worker, with the user's
// ticket unless noAuth; answer is the service's text.
std::uint32_t CallWebServiceAsUser(const ZorvidRequestInfo& request, const std::string& url,
                                   const std::string& argument, std::string& answer,
                                   bool noAuth = false);

// WebServiceCall is the shape of CallWebServiceAsUser (with the user's ticket), so that the
// callers that only post JSON-RPC requests can be given another transport in tests. An empty
// WebServiceCall stands for CallWebServiceAsUser itself.
using WebServiceCall =
    std::function<std::uint32_t(const ZorvidRequestInfo& request, const std::string& url,
                                const std::string& argument, std::string& answer)>;

// CallWebService runs the call, or CallWebServiceAsUser when it is empty.
std::uint32_t CallWebService(const WebServiceCall& call, const ZorvidRequestInfo& request,
                             const std::string& url, const std::string& argument,
                             std::string& answer);

// DownloadMediaAsUser downloads the media (its MediaInfo JSON text) into the destination
// folder; destination becomes the downloaded file's path and downloadResult the content's
// "rc" (WebOperationCodes::kDownload...). downloadResult is written as soon as it is read.
std::uint32_t DownloadMediaAsUser(const ZorvidRequestInfo& request, std::string& destination,
                                  const std::string& mediaInfoJson, std::int32_t& downloadResult);

// UnzipAsUser unpacks the archive into the folder that output names (when empty: the
// user's UNZIP folder, as the worker resolves it): output is then that folder and
// unzipResult the content's "rc" (WebOperationCodes::kUnzip...).
std::uint32_t UnzipAsUser(const ZorvidRequestInfo& request, const std::string& archivePath,
                          std::string& output, std::int32_t& unzipResult);

}  // namespace Operations::AsUser
