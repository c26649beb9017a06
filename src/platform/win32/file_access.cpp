#include "platform/file_access.h"

#include <io.h>
#include <windows.h>

#include "platform/sys_error.h"
#include "platform/win32/win_text.h"

namespace platform {

std::uint32_t CheckAccess(const std::string& path, int mode) {
    if (mode != kAccessExists && mode != kAccessWrite && mode != kAccessRead &&
        mode != (kAccessRead | kAccessWrite)) {
        return SysError::INVALID_PARAMETER;
    }
    const errno_t result = ::_waccess_s(win32::Utf8ToWide(path).c_str(), mode);
    return result == 0 ? SysError::SUCCESS : ErrorFromErrno(result);
}

}  // namespace platform
