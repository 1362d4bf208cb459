// A small owning holder of one COM reference, for the platform's own code.
#pragma once

#include <utility>

namespace platform {

template <class T>
class ComPtr {
public:
    ComPtr() noexcept = default;
    ComPtr(std::nullptr_t) noexcept {}
    // Takes over a reference the caller already owns.
    static ComPtr Attach(T* raw) noexcept {
        ComPtr holder;
        holder.ptr_ = raw;
        return holder;
    }
    // Adds a reference of its own.
    explicit ComPtr(T* raw) noexcept : ptr_(raw) {
        if (ptr_) ptr_->AddRef();
    }
    ComPtr(const ComPtr& other) noexcept : ComPtr(other.ptr_) {}
    ComPtr(ComPtr&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
    ComPtr& operator=(ComPtr other) noexcept {
        std::swap(ptr_, other.ptr_);
        return *this;
    }
    ~ComPtr() { Reset(); }

    void Reset() noexcept {
        if (T* old = std::exchange(ptr_, nullptr)) old->Release();
    }
    T* Get() const noexcept { return ptr_; }
    T* operator->() const noexcept { return ptr_; }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }
    // For out-parameters: releases what is held and returns the slot to fill.
    T** Put() noexcept {
        Reset();
        return &ptr_;
    }
    void** PutVoid() noexcept { return reinterpret_cast<void**>(Put()); }
    // Hands the reference to the caller.
    T* Detach() noexcept { return std::exchange(ptr_, nullptr); }

private:
    T* ptr_ = nullptr;
};

}  // namespace platform
