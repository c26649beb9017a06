#include "platform/file_access.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "platform/sys_error.h"

namespace platform {

std::uint32_t CheckAccess(const std::string& path, int mode) {
    int how = 0;
    switch (mode) {
        case kAccessExists:
            how = F_OK;
            break;
        case kAccessWrite:
            how = W_OK;
            break;
        case kAccessRead:
            how = R_OK;
            break;
        case kAccessRead | kAccessWrite:
            how = R_OK | W_OK;
            break;
        default:
            return SysError::INVALID_PARAMETER;
    }
    // Effective ids: what the caller may actually do, not what its real user may.
    return ::faccessat(AT_FDCWD, path.c_str(), how, AT_EACCESS) == 0 ? SysError::SUCCESS
                                                                     : ErrorFromErrno(errno);
}

}  // namespace platform
