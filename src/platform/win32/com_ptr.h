// com_ptr.h: ownership of COM apartments and interface pointers for the win32 backends only.
#pragma once

#include <objbase.h>
#include <windows.h>

namespace platform::win32 {

// ComApartment enters a single-threaded apartment on the calling thread for its scope (the
// shell's objects and dialogs want one). A thread already in an apartment of the other kind
// keeps it: Ok() is then false and nothing is left to undo.
class ComApartment {
  public:
    ComApartment()
        : result_(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE)) {}
    ~ComApartment() {
        if (SUCCEEDED(result_)) {
            ::CoUninitialize();
        }
    }
    ComApartment(const ComApartment&) = delete;
    ComApartment& operator=(const ComApartment&) = delete;

    bool Ok() const { return SUCCEEDED(result_); }
    HRESULT Result() const { return result_; }

  private:
    HRESULT result_;
};

// ComPtr owns one reference to a COM interface.
template <typename T>
class ComPtr {
  public:
    ComPtr() = default;
    ~ComPtr() { Reset(); }
    ComPtr(ComPtr&& other) noexcept : pointer_(other.pointer_) { other.pointer_ = nullptr; }
    ComPtr& operator=(ComPtr&& other) noexcept {
        if (this != &other) {
            Reset();
            pointer_ = other.pointer_;
            other.pointer_ = nullptr;
        }
        return *this;
    }
    ComPtr(const ComPtr&) = delete;
    ComPtr& operator=(const ComPtr&) = delete;

    T* Get() const { return pointer_; }
    T* operator->() const { return pointer_; }
    // Out releases what is held and gives the slot for a call that hands out a reference.
    T** Out() {
        Reset();
        return &pointer_;
    }
    void Reset() {
        if (pointer_ != nullptr) {
            pointer_->Release();
            pointer_ = nullptr;
        }
    }
    // As asks the object for another of its interfaces.
    template <typename U>
    HRESULT As(ComPtr<U>& other) const {
        return pointer_->QueryInterface(__uuidof(U), reinterpret_cast<void**>(other.Out()));
    }

  private:
    T* pointer_ = nullptr;
};

}  // namespace platform::win32
