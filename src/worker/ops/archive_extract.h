// ArchiveExtract is the worker's "Unzip": an archive (ZIP, ZIP64 beyond 4 GiB included, or
// any format the archive library reads) unpacked into a folder, the permission bits (the
// executable bits) kept.
//
// Nothing is written outside the folder. A first pass over the entry headers refuses the
// whole archive before anything is written when an entry's path is absolute (a leading
// separator or a drive), holds a ".." component, or lies below a symbolic-link entry of the
// archive, or when a link entry points outside the folder; the same pass adds up the entry
// sizes for the free-space check. The library's own guards stay on while writing: no ".."
// and no writing through a symbolic link found on disk.
#pragma once

#include <cstdint>
#include <string>

#include "base/json/json.h"
#include "worker/ops/op_reply.h"

namespace WorkerOps {

class ArchiveExtract {
  public:
    // Extract unpacks the archive into folder (created when missing; what it holds is
    // kept). rc is WebOperationCodes::kUnzip...
    static std::int32_t Extract(const std::string& archive, const std::string& folder);

    // Run answers an "Unzip" request: args {"target"}; the archive goes into folder, which
    // is emptied first. Content {"output": folder, "rc"}.
    static OpReply Run(const JSON::JSONItem& args, const std::string& folder);

    // IsSafeEntryPath tells whether an entry path stays inside the folder it is unpacked
    // into: relative, no drive, no ".." component (either separator counts).
    static bool IsSafeEntryPath(const std::string& path);
};

}  // namespace WorkerOps
