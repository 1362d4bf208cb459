// BSTR allocation. A block is [32-bit byte length][text][null OLECHAR]; the BSTR points at the
// text. Blocks come from the C heap, so BSTRs and the task allocator's counts stay apart.
#include <cstdlib>
#include <cstring>

#include "base/fault.h"
#include "oleaut/internal.h"
#include "oleaut/oleauto.h"

namespace {

// The largest byte length a BSTR may hold: the prefix is 32 bits, and the block must stay
// addressable with its prefix and terminator.
constexpr UINT kMaxByteLength = 0x7FFFFFF0u;

uint32_t* PrefixOf(BSTR bstr) { return reinterpret_cast<uint32_t*>(bstr) - 1; }

// A block for byteLength bytes of text, prefix and terminator written, text left unset.
BSTR AllocateBlock(UINT byteLength) {
    if (byteLength > kMaxByteLength) return nullptr;
    size_t total = sizeof(uint32_t) + size_t{byteLength} + sizeof(OLECHAR);
    auto* block = static_cast<BYTE*>(std::malloc(total));
    if (!block) return nullptr;
    uint32_t prefix = byteLength;
    std::memcpy(block, &prefix, sizeof prefix);
    // Terminate on an OLECHAR after the bytes (an odd byte length leaves one pad byte unset
    // before it on Windows; here the two bytes after the text are both zero).
    block[sizeof(uint32_t) + byteLength] = 0;
    block[sizeof(uint32_t) + byteLength + 1] = 0;
    return reinterpret_cast<BSTR>(block + sizeof(uint32_t));
}

size_t Length(const OLECHAR* psz) {
    size_t n = 0;
    while (psz[n]) ++n;
    return n;
}

BSTR AllocateCopy(const OLECHAR* text, size_t length) {
    if (length > kMaxByteLength / sizeof(OLECHAR)) return nullptr;
    BSTR bstr = AllocateBlock(static_cast<UINT>(length * sizeof(OLECHAR)));
    if (!bstr) return nullptr;
    if (text) {
        std::memcpy(bstr, text, length * sizeof(OLECHAR));
    } else {
        std::memset(bstr, 0, length * sizeof(OLECHAR));
    }
    return bstr;
}

}  // namespace

namespace platform::oleaut {

BSTR AllocateBstr(const OLECHAR* text, size_t length) { return AllocateCopy(text, length); }

BSTR AllocateBstrBytes(const void* bytes, UINT byteLength) {
    BSTR bstr = AllocateBlock(byteLength);
    if (!bstr) return nullptr;
    if (bytes) {
        std::memcpy(bstr, bytes, byteLength);
    } else {
        std::memset(bstr, 0, byteLength);
    }
    return bstr;
}

}  // namespace platform::oleaut

WINOLEAPI_(BSTR) SysAllocString(const OLECHAR* psz) {
    HRESULT hr = S_OK;
    if (PLATFORM_FAULT("SysAllocString", hr)) return nullptr;
    if (!psz) return nullptr;
    return AllocateCopy(psz, Length(psz));
}

WINOLEAPI_(BSTR) SysAllocStringLen(const OLECHAR* strIn, UINT ui) {
    HRESULT hr = S_OK;
    if (PLATFORM_FAULT("SysAllocStringLen", hr)) return nullptr;
    return AllocateCopy(strIn, ui);
}

WINOLEAPI_(BSTR) SysAllocStringByteLen(LPCSTR psz, UINT len) {
    HRESULT hr = S_OK;
    if (PLATFORM_FAULT("SysAllocStringByteLen", hr)) return nullptr;
    return platform::oleaut::AllocateBstrBytes(psz, len);
}

WINOLEAPI_(INT) SysReAllocStringLen(BSTR* pbstr, const OLECHAR* psz, UINT len) {
    HRESULT hr = S_OK;
    if (PLATFORM_FAULT("SysReAllocStringLen", hr)) return FALSE;
    if (!pbstr) return FALSE;
    // The new string is made before the old one is freed: psz may point into it.
    BSTR copy = AllocateCopy(psz, len);
    if (!copy) return FALSE;
    SysFreeString(*pbstr);
    *pbstr = copy;
    return TRUE;
}

WINOLEAPI_(INT) SysReAllocString(BSTR* pbstr, const OLECHAR* psz) {
    HRESULT hr = S_OK;
    if (PLATFORM_FAULT("SysReAllocString", hr)) return FALSE;
    if (!pbstr) return FALSE;
    BSTR copy = nullptr;
    if (psz) {
        copy = AllocateCopy(psz, Length(psz));
        if (!copy) return FALSE;
    }
    SysFreeString(*pbstr);
    *pbstr = copy;
    return TRUE;
}

WINOLEAPI_(void) SysFreeString(BSTR bstrString) {
    if (!bstrString) return;
    std::free(PrefixOf(bstrString));
}

WINOLEAPI_(UINT) SysStringLen(BSTR pbstr) {
    if (!pbstr) return 0;
    return *PrefixOf(pbstr) / sizeof(OLECHAR);
}

WINOLEAPI_(UINT) SysStringByteLen(BSTR bstr) {
    if (!bstr) return 0;
    return *PrefixOf(bstr);
}
