// shared_memory.h: a small named block of memory that the daemon writes and every local user
// may read: how the daemon tells programs in the users' sessions its version, HTTPS port and
// domain without being asked.
//
// Names are Windows section names ("Global\QVLauncherSharedMemory").
// Windows: a section backed by the paging file; full access for the system account and
// administrators, read access for interactive users.
// POSIX: a POSIX shared-memory object named "/" + the name without "Global\" (a name the
// runtime root was changed to, through QVYLD_RUNTIME_DIR, is made distinct, so test runs
// never meet), owned by the writer, mode 0644. /dev/shm lets any user create a name first:
// the writer replaces an object it does not own, and readers accept only an object owned
// by root or by themselves.
//
// Both backends check sizes the same way: a text longer than the block is refused, never
// cut or written past the end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace platform {

// SharedMemoryWriter owns the block on the writer's side. Not for concurrent use.
class SharedMemoryWriter {
  public:
    struct Impl;

    SharedMemoryWriter();
    ~SharedMemoryWriter();
    SharedMemoryWriter(SharedMemoryWriter&&) noexcept;
    SharedMemoryWriter& operator=(SharedMemoryWriter&&) noexcept;
    SharedMemoryWriter(const SharedMemoryWriter&) = delete;
    SharedMemoryWriter& operator=(const SharedMemoryWriter&) = delete;

    // Create makes the block of size bytes, zero-filled. SUCCESS, INVALID_PARAMETER for an
    // empty name or size, or the system's error.
    std::uint32_t Create(const std::string& name, std::size_t size);
    bool IsOpen() const;
    // Write puts text at offset 0 and zeroes the rest of the block. SUCCESS;
    // INSUFFICIENT_BUFFER when text is longer than the block (nothing written); on POSIX,
    // a block that someone else removed, replaced or truncated is made again first, and
    // Write then answers FILE_NOT_FOUND once the new block holds the text (the caller logs
    // it), or the error of the failed step.
    std::uint32_t Write(std::string_view text);
    // Close releases the block; POSIX removes its name, Windows drops the section with its
    // last handle.
    void Close();

  private:
    std::unique_ptr<Impl> impl_;
};

// ReadSharedMemory copies the block's text (up to its first zero byte) into text.
// SUCCESS; FILE_NOT_FOUND when there is no block; ACCESS_DENIED when the block is not the
// writer's (POSIX: owned by neither root nor the caller); HANDLE_EOF when the block is
// shorter than size (truncated); or another error.
std::uint32_t ReadSharedMemory(const std::string& name, std::size_t size, std::string& text);

}  // namespace platform
