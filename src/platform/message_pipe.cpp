// The parts of the message pipes that both backends share: they stand on the backends'
// own calls (Open, Read) and make none of the system's.
#include "platform/message_pipe.h"

#include <vector>

#include "platform/sys_error.h"

namespace platform {

namespace {

// kPieceSize is what ReadMessage asks of Read at a time.
constexpr std::size_t kPieceSize = 64 * 1024;

}  // namespace

// ReadMessage puts the message together from the pieces Read hands out, so that its limit
// is checked in one place for every backend and every reader.
std::uint32_t PipeConnection::ReadMessage(std::string& message, std::size_t limit) {
    message.clear();
    if (!IsOpen()) {
        return SysError::INVALID_HANDLE;
    }
    std::vector<char> piece(kPieceSize);
    for (;;) {
        std::size_t count = 0;
        const std::uint32_t error = Read(piece.data(), piece.size(), count);
        if (error != SysError::SUCCESS && error != SysError::MORE_DATA) {
            return error;
        }
        if (count > limit - message.size()) {
            message.clear();
            return SysError::NOT_ENOUGH_MEMORY;
        }
        message.append(piece.data(), count);
        if (error == SysError::SUCCESS) {
            return SysError::SUCCESS;
        }
    }
}

std::uint32_t PipeListener::Create(const std::string& name) {
    return Open(name, false);
}

std::uint32_t PipeListener::CreateShared(const std::string& name) {
    return Open(name, true);
}

bool PipeListener::IsOpen() const {
    return impl_ != nullptr;
}

}  // namespace platform
