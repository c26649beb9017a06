// crash_text.h: the crash handlers' text builder, shared by both backends. It writes into a
// caller's fixed buffer and never allocates: a crash report is built where the heap or the
// logger may be the very thing that broke.
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform {

// CrashText appends to a buffer, cutting what does not fit; the text stays terminated.
class CrashText {
  public:
    CrashText(char* buffer, std::size_t size) : buffer_(buffer), size_(size) { buffer_[0] = '\0'; }

    CrashText& Add(const char* text) {
        while (*text != '\0' && length_ + 1 < size_) {
            buffer_[length_++] = *text++;
        }
        buffer_[length_] = '\0';
        return *this;
    }
    // Hex writes lower-case hexadecimal without leading zeros.
    CrashText& Hex(std::uintptr_t value) { return Number(value, 16); }
    CrashText& Decimal(std::uintmax_t value) { return Number(value, 10); }
    const char* Data() const { return buffer_; }
    std::size_t Length() const { return length_; }

  private:
    CrashText& Number(std::uintmax_t value, unsigned base) {
        char digits[3 * sizeof value + 1];
        std::size_t count = sizeof digits - 1;
        digits[count] = '\0';
        do {
            digits[--count] = "0123456789abcdef"[value % base];
            value /= base;
        } while (value != 0);
        return Add(digits + count);
    }

    char* buffer_;
    std::size_t size_;
    std::size_t length_ = 0;
};

}  // namespace platform
