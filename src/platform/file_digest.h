// file_digest.h: the MD5 digest of a file, which the daemon checks on its own copy of a
// downloaded or given package before it installs it with administrator rights.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

// FileMd5 reads the whole file: hex is its MD5 digest in lower-case hexadecimal and size its
// length in bytes. False when the file cannot be read (hex and size are then untouched).
bool FileMd5(const std::string& path, std::string& hex, std::int64_t& size);

}  // namespace platform
