// MediaDownload is the worker's "DownloadMedia": the media package is streamed into the
// destination folder under its file name, its checksum computed while the bytes arrive (no
// second pass over the file). The bytes go to "<file>.<checksum>.part" first, so an
// interrupted download of the same media resumes with a range request (the part already on
// disk is hashed once, then the transfer goes on), and the file takes its name only once it
// is complete and correct. A server that ignores or refuses the range gets the transfer
// again from the first byte. A size or checksum mismatch deletes what was written.
#pragma once

#include <cstdint>
#include <string>

#include "base/json/json.h"
#include "worker/ops/op_reply.h"

namespace WorkerOps {

class MediaDownload {
  public:
    // kAttempts bounds the transfers of one download: an interrupted one is resumed from
    // where it stopped.
    static constexpr int kAttempts = 3;

    struct Media {
        std::string fileName;
        std::string url;
        std::string hash;           // hexadecimal, any case; empty: not checked
        std::string hashAlgorithm;  // "MD5" unless told otherwise
        // size is in bytes; negative: unknown. The catalogue gives whole megabytes, so
        // the size only sizes the free-space check, unless exactSize says it is the
        // package's byte count, which the file must then match.
        std::int64_t size = -1;
        bool exactSize = false;
    };

    // Download fetches the media into folder; rc is WebOperationCodes::kDownload..., output
    // the file's path.
    static std::int32_t Download(const Media& media, const std::string& folder,
                                 std::string& output);

    // Run answers a "DownloadMedia" request: args {"dest", "mi"}, content {"rc", "output"}.
    // The member "exactSize" of "mi" says whether the size is a byte count; without it, a
    // description without a code level is taken as the launcher's own package (exact).
    static OpReply Run(const JSON::JSONItem& args);
};

}  // namespace WorkerOps
