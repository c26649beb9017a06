// file_access.h: whether the calling process may use a path, with the access modes of the C
// run-time's _access: 0 existence, 2 write, 4 read, 6 read and write.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

inline constexpr int kAccessExists = 0;
inline constexpr int kAccessWrite = 2;
inline constexpr int kAccessRead = 4;

// CheckAccess gives 0 when the path exists and the caller has the access asked, else an
// error (2 missing, 5 denied, 87 unknown mode).
std::uint32_t CheckAccess(const std::string& path, int mode);

}  // namespace platform
