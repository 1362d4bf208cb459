// Small owning holders for the module's COM references and BSTRs.
#pragma once

#include <memory>
#include <utility>

#include <windows.h>
#include <objbase.h>
#include <oleauto.h>

namespace msgplugin {

// Owns one COM reference.
template <class T>
class CComPtr {
public:
    CComPtr() noexcept = default;
    ~CComPtr() { Release(); }
    CComPtr(const CComPtr& other) noexcept : p(other.p) {
        if (p) p->AddRef();
    }
    CComPtr& operator=(const CComPtr& other) noexcept {
        if (other.p) other.p->AddRef();
        Release();
        p = other.p;
        return *this;
    }
    CComPtr(CComPtr&& other) noexcept : p(std::exchange(other.p, nullptr)) {}
    CComPtr& operator=(CComPtr&& other) noexcept {
        if (this != std::addressof(other)) {
            Release();
            p = std::exchange(other.p, nullptr);
        }
        return *this;
    }

    void Release() noexcept {
        if (T* old = std::exchange(p, nullptr)) old->Release();
    }
    // Takes over a reference the caller owns.
    void Attach(T* raw) noexcept {
        Release();
        p = raw;
    }
    T* Detach() noexcept { return std::exchange(p, nullptr); }
    // The slot an out-parameter fills; what was held is released first.
    T** operator&() noexcept {
        Release();
        return &p;
    }
    void** AsVoidOut() noexcept { return reinterpret_cast<void**>(&*this); }
    T* operator->() const noexcept { return p; }
    operator T*() const noexcept { return p; }

    T* p = nullptr;
};

// Owns one BSTR.
class CComBSTR {
public:
    CComBSTR() noexcept = default;
    ~CComBSTR() { Empty(); }
    CComBSTR(const CComBSTR&) = delete;
    CComBSTR& operator=(const CComBSTR&) = delete;

    void Empty() noexcept {
        SysFreeString(m_str);
        m_str = nullptr;
    }
    void Attach(BSTR text) noexcept {
        Empty();
        m_str = text;
    }
    BSTR Detach() noexcept { return std::exchange(m_str, nullptr); }
    operator BSTR() const noexcept { return m_str; }
    // The text, or "" for a null BSTR.
    LPCWSTR Text() const noexcept { return m_str ? m_str : OLESTR(""); }

    BSTR m_str = nullptr;
};

}  // namespace msgplugin
