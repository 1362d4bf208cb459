// Code-page conversion: UTF-8 by the platform itself, single-byte code pages through tables
// built once from iconv, multi-byte code pages through iconv descriptors kept per thread.
#include <errno.h>
#include <iconv.h>

#include <atomic>
#include <climits>
#include <cstring>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "base/fault.h"
#include "kernel/kernel_internal.h"
#include "kernel/winbase.h"
#include "platform_testing.h"

namespace {

constexpr UINT kDefaultAnsiCodePage = 1252;
constexpr UINT kOemCodePage = 437;
constexpr UINT kMacCodePage = 10000;
constexpr UINT kGb18030 = 54936;

std::atomic<UINT> g_ansiCodePage{kDefaultAnsiCodePage};
// Where the ANSI code page is read from at its first use (the registry, where Windows keeps
// it); until then, and when the source has no usable answer, the default stands.
std::atomic<UINT (*)() noexcept> g_ansiCodePageSource{nullptr};
std::atomic<bool> g_ansiCodePageKnown{false};
std::mutex g_ansiCodePageMutex;
thread_local bool t_readingAnsiCodePage = false;

UINT AnsiCodePage() {
    if (!g_ansiCodePageKnown.load(std::memory_order_acquire) && !t_readingAnsiCodePage) {
        std::lock_guard lock(g_ansiCodePageMutex);
        if (!g_ansiCodePageKnown.load(std::memory_order_acquire)) {
            if (auto source = g_ansiCodePageSource.load()) {
                t_readingAnsiCodePage = true;  // the source may convert text itself
                UINT read = source();
                t_readingAnsiCodePage = false;
                if (read != CP_UTF7 && read > CP_THREAD_ACP && IsValidCodePage(read)) g_ansiCodePage.store(read);
            }
            g_ansiCodePageKnown.store(true, std::memory_order_release);
        }
    }
    return g_ansiCodePage.load(std::memory_order_relaxed);
}

struct KnownCodePage {
    UINT number;
    const char* iconvName;
    bool multiByte;
};

// glibc's names for the code pages the platform converts.
constexpr KnownCodePage kKnownCodePages[] = {
    {437, "CP437", false},     {737, "CP737", false},     {775, "CP775", false},
    {850, "CP850", false},     {852, "CP852", false},     {855, "CP855", false},
    {857, "CP857", false},     {860, "CP860", false},     {861, "CP861", false},
    {862, "CP862", false},     {863, "CP863", false},     {864, "CP864", false},
    {865, "CP865", false},     {866, "CP866", false},     {869, "CP869", false},
    {874, "CP874", false},     {932, "CP932", true},      {936, "CP936", true},
    {949, "CP949", true},      {950, "CP950", true},      {1250, "CP1250", false},
    {1251, "CP1251", false},   {1252, "CP1252", false},   {1253, "CP1253", false},
    {1254, "CP1254", false},   {1255, "CP1255", false},   {1256, "CP1256", false},
    {1257, "CP1257", false},   {1258, "CP1258", false},   {1361, "JOHAB", true},
    {10000, "MACINTOSH", false}, {20127, "ANSI_X3.4-1968", false}, {20866, "KOI8-R", false},
    {21866, "KOI8-U", false},  {28591, "ISO-8859-1", false}, {28592, "ISO-8859-2", false},
    {28593, "ISO-8859-3", false}, {28594, "ISO-8859-4", false}, {28595, "ISO-8859-5", false},
    {28596, "ISO-8859-6", false}, {28597, "ISO-8859-7", false}, {28598, "ISO-8859-8", false},
    {28599, "ISO-8859-9", false}, {28603, "ISO-8859-13", false}, {28605, "ISO-8859-15", false},
    {51932, "EUC-JP", true},   {51949, "EUC-KR", true},   {kGb18030, "GB18030", true},
    {CP_UTF7, "UTF-7", true},
};

// Windows' tables give the unassigned bytes 0x80..0x9F of these code pages the C1 controls.
bool FillsC1Controls(UINT number) { return number == 874 || (number >= 1250 && number <= 1258); }

struct CodePage {
    UINT number = 0;
    const char* iconvName = nullptr;
    bool multiByte = false;
    // Single-byte code pages only.
    char16_t toUnicode[256] = {};
    bool defined[256] = {};
    std::unique_ptr<int16_t[]> fromUnicode;  // 65536 entries, -1 where no byte maps
};

// iconv descriptors are stateful, so each thread keeps its own; they are opened on first use
// and closed when the thread ends.
class ThreadDescriptors {
public:
    ~ThreadDescriptors() {
        for (const Entry& entry : entries_) iconv_close(entry.descriptor);
    }
    iconv_t Get(const CodePage& page, bool toUnicode) {
        for (const Entry& entry : entries_)
            if (entry.number == page.number && entry.toUnicode == toUnicode) return entry.descriptor;
        iconv_t descriptor = toUnicode ? iconv_open("UTF-16LE", page.iconvName) : iconv_open(page.iconvName, "UTF-16LE");
        if (descriptor == reinterpret_cast<iconv_t>(-1)) return descriptor;
        try {
            entries_.push_back(Entry{page.number, toUnicode, descriptor});
        } catch (...) {
            iconv_close(descriptor);
            return reinterpret_cast<iconv_t>(-1);
        }
        return descriptor;
    }

private:
    struct Entry {
        UINT number;
        bool toUnicode;
        iconv_t descriptor;
    };
    std::vector<Entry> entries_;
};

thread_local ThreadDescriptors t_descriptors;

const iconv_t kNoDescriptor = reinterpret_cast<iconv_t>(-1);

bool BuildSingleByteTables(CodePage& page) {
    iconv_t descriptor = iconv_open("UTF-16LE", page.iconvName);
    if (descriptor == kNoDescriptor) return false;
    for (unsigned byte = 0; byte < 256; ++byte) {
        iconv(descriptor, nullptr, nullptr, nullptr, nullptr);
        char in = static_cast<char>(byte);
        char16_t out[4];
        char* inPointer = &in;
        char* outPointer = reinterpret_cast<char*>(out);
        size_t inLeft = 1, outLeft = sizeof out;
        bool converted = iconv(descriptor, &inPointer, &inLeft, &outPointer, &outLeft) != static_cast<size_t>(-1);
        // Some converters hold a character back to compose it with the next one.
        if (converted) converted = iconv(descriptor, nullptr, nullptr, &outPointer, &outLeft) != static_cast<size_t>(-1);
        const size_t units = (sizeof out - outLeft) / sizeof(char16_t);
        if (converted && inLeft == 0 && units == 1) {
            page.toUnicode[byte] = out[0];
            page.defined[byte] = true;
        } else if (byte >= 0x80 && byte <= 0x9F && FillsC1Controls(page.number)) {
            page.toUnicode[byte] = static_cast<char16_t>(byte);
            page.defined[byte] = true;
        }
    }
    iconv_close(descriptor);
    page.fromUnicode.reset(new int16_t[65536]);
    std::fill_n(page.fromUnicode.get(), 65536, int16_t{-1});
    for (int byte = 255; byte >= 0; --byte) {
        if (page.defined[byte]) page.fromUnicode[page.toUnicode[byte]] = static_cast<int16_t>(byte);
    }
    return true;
}

std::unique_ptr<CodePage> LoadCodePage(UINT number) {
    for (const KnownCodePage& known : kKnownCodePages) {
        if (known.number != number) continue;
        auto page = std::make_unique<CodePage>();
        page->number = number;
        page->iconvName = known.iconvName;
        page->multiByte = known.multiByte;
        if (page->multiByte) {
            iconv_t probe = iconv_open("UTF-16LE", known.iconvName);
            if (probe == kNoDescriptor) return nullptr;
            iconv_close(probe);
        } else if (!BuildSingleByteTables(*page)) {
            return nullptr;
        }
        return page;
    }
    return nullptr;
}

// The code page's converter, loaded on first use and kept for the life of the process; null
// when the platform cannot convert it.
const CodePage* FindCodePage(UINT number) {
    thread_local UINT lastNumber = 0;
    thread_local const CodePage* lastPage = nullptr;
    if (lastPage != nullptr && lastNumber == number) return lastPage;
    static std::mutex mutex;
    static auto* pages = new std::unordered_map<UINT, std::unique_ptr<CodePage>>();  // never freed
    std::lock_guard lock(mutex);
    try {
        auto found = pages->find(number);
        if (found == pages->end()) found = pages->emplace(number, LoadCodePage(number)).first;
        lastNumber = number;
        lastPage = found->second.get();
        return lastPage;
    } catch (...) {
        return nullptr;  // out of memory: not remembered, a later call tries again
    }
}

UINT ResolveCodePage(UINT codePage) {
    switch (codePage) {
        case CP_ACP:
        case CP_THREAD_ACP: return AnsiCodePage();
        case CP_OEMCP: return kOemCodePage;
        case CP_MACCP: return kMacCodePage;
        default: return codePage;
    }
}

// Collects the output: writes while there is room and counts everything.
template <typename Unit>
struct Output {
    Unit* buffer;
    size_t capacity;
    size_t count = 0;
    void Put(Unit unit) {
        if (count < capacity) buffer[count] = unit;
        ++count;
    }
};

// The result Windows gives for the collected output.
template <typename Unit>
int Finish(const Output<Unit>& out) {
    if (out.count > static_cast<size_t>(INT_MAX) || (out.capacity != 0 && out.count > out.capacity)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    return static_cast<int>(out.count);
}

enum class Outcome { Converted, Invalid, NoConverter };

// Multi-byte input through iconv. An invalid or truncated sequence becomes '?' and conversion
// goes on with the next byte.
Outcome DecodeWithIconv(const CodePage& page, const char* input, size_t size, bool strict, Output<WCHAR>& out) {
    iconv_t descriptor = t_descriptors.Get(page, true);
    if (descriptor == kNoDescriptor) return Outcome::NoConverter;
    iconv(descriptor, nullptr, nullptr, nullptr, nullptr);
    char* in = const_cast<char*>(input);
    size_t inLeft = size;
    char16_t chunk[512];
    for (;;) {
        const bool flushing = inLeft == 0;
        char* outPointer = reinterpret_cast<char*>(chunk);
        size_t outLeft = sizeof chunk;
        const size_t result = flushing ? iconv(descriptor, nullptr, nullptr, &outPointer, &outLeft)
                                       : iconv(descriptor, &in, &inLeft, &outPointer, &outLeft);
        const int error = result == static_cast<size_t>(-1) ? errno : 0;
        for (char16_t* p = chunk; p < reinterpret_cast<char16_t*>(outPointer); ++p) out.Put(*p);
        if (error == E2BIG) continue;
        if (error == 0) {
            if (flushing) break;
            continue;
        }
        if (strict) return Outcome::Invalid;
        out.Put(u'?');
        if (flushing) break;
        ++in;
        --inLeft;
        iconv(descriptor, nullptr, nullptr, nullptr, nullptr);
    }
    return Outcome::Converted;
}

// UTF-16 through iconv. A unit the code page cannot represent becomes the default character.
Outcome EncodeWithIconv(const CodePage& page, const WCHAR* input, size_t count, bool strict,
                        std::string_view defaultChar, bool* usedDefault, Output<char>& out) {
    iconv_t descriptor = t_descriptors.Get(page, false);
    if (descriptor == kNoDescriptor) return Outcome::NoConverter;
    iconv(descriptor, nullptr, nullptr, nullptr, nullptr);
    char* in = reinterpret_cast<char*>(const_cast<WCHAR*>(input));
    size_t inLeft = count * sizeof(WCHAR);
    char chunk[1024];
    for (;;) {
        const bool flushing = inLeft == 0;
        char* outPointer = chunk;
        size_t outLeft = sizeof chunk;
        const size_t result = flushing ? iconv(descriptor, nullptr, nullptr, &outPointer, &outLeft)
                                       : iconv(descriptor, &in, &inLeft, &outPointer, &outLeft);
        const int error = result == static_cast<size_t>(-1) ? errno : 0;
        for (char* p = chunk; p < outPointer; ++p) out.Put(*p);
        if (error == E2BIG) continue;
        if (error == 0) {
            if (flushing) break;
            continue;
        }
        if (strict) return Outcome::Invalid;
        if (flushing) break;
        // Finish any shift state before the default character, then skip the unit.
        char* shiftPointer = chunk;
        size_t shiftLeft = sizeof chunk;
        iconv(descriptor, nullptr, nullptr, &shiftPointer, &shiftLeft);
        for (char* p = chunk; p < shiftPointer; ++p) out.Put(*p);
        for (char c : defaultChar) out.Put(c);
        *usedDefault = true;
        in += sizeof(WCHAR);
        inLeft -= sizeof(WCHAR);
    }
    return Outcome::Converted;
}

bool FailedByTest(const char* operation) {
    HRESULT hr = S_OK;
    if (!PLATFORM_FAULT(operation, hr)) return false;
    SetLastError(platform::kernel::Win32ErrorFromResult(hr));
    return true;
}

int Fail(DWORD error) {
    SetLastError(error);
    return 0;
}

// Tests start from the default, known, so no test reads the registry by surprise.
void ResetAnsiCodePage() {
    g_ansiCodePage.store(kDefaultAnsiCodePage);
    g_ansiCodePageKnown.store(true);
}

const bool g_resetRegistered = (platform::testing::RegisterResetHook(&ResetAnsiCodePage), true);

// What both conversions ask of their arguments: a source, its length (-1 when terminated), and
// an output of `outputLength` units (none when 0, when only the length is asked for) that is not
// the source.
template <typename In, typename Out>
bool ValidArguments(const In* source, int sourceLength, Out* output, int outputLength) {
    return source != nullptr && sourceLength != 0 && sourceLength >= -1 && outputLength >= 0 &&
           (output != nullptr || outputLength == 0) &&
           (outputLength == 0 || static_cast<const void*>(source) != static_cast<const void*>(output));
}

}  // namespace

int WINAPI MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCCH lpMultiByteStr, int cbMultiByte,
                               LPWSTR lpWideCharStr, int cchWideChar) {
    if (FailedByTest("MultiByteToWideChar")) return 0;
    if (!ValidArguments(lpMultiByteStr, cbMultiByte, lpWideCharStr, cchWideChar)) return Fail(ERROR_INVALID_PARAMETER);
    const UINT number = ResolveCodePage(CodePage);
    const size_t size = cbMultiByte == -1 ? std::strlen(lpMultiByteStr) + 1 : static_cast<size_t>(cbMultiByte);
    const bool strict = (dwFlags & MB_ERR_INVALID_CHARS) != 0;
    Output<WCHAR> out{lpWideCharStr, static_cast<size_t>(cchWideChar)};

    if (number == CP_UTF8) {
        if ((dwFlags & ~DWORD{MB_ERR_INVALID_CHARS}) != 0) return Fail(ERROR_INVALID_FLAGS);
        const bool wellFormed = platform::kernel::detail::DecodeUtf8(
            reinterpret_cast<const unsigned char*>(lpMultiByteStr), size, [&](char16_t c) { out.Put(c); });
        if (!wellFormed && strict) return Fail(ERROR_NO_UNICODE_TRANSLATION);
        return Finish(out);
    }
    if (number == kGb18030 && (dwFlags & ~DWORD{MB_ERR_INVALID_CHARS}) != 0) return Fail(ERROR_INVALID_FLAGS);
    if (number == CP_UTF7 ? dwFlags != 0
                          : ((dwFlags & ~DWORD{MB_PRECOMPOSED | MB_COMPOSITE | MB_USEGLYPHCHARS | MB_ERR_INVALID_CHARS}) != 0 ||
                             (dwFlags & (MB_PRECOMPOSED | MB_COMPOSITE)) == (MB_PRECOMPOSED | MB_COMPOSITE)))
        return Fail(ERROR_INVALID_FLAGS);
    const ::CodePage* page = FindCodePage(number);
    if (page == nullptr) return Fail(ERROR_INVALID_PARAMETER);

    if (!page->multiByte) {
        const auto* bytes = reinterpret_cast<const unsigned char*>(lpMultiByteStr);
        for (size_t i = 0; i < size; ++i) {
            const unsigned char byte = bytes[i];
            if (page->defined[byte]) {
                out.Put(page->toUnicode[byte]);
            } else if (strict) {
                return Fail(ERROR_NO_UNICODE_TRANSLATION);
            } else {
                out.Put(u'?');
            }
        }
        return Finish(out);
    }
    switch (DecodeWithIconv(*page, lpMultiByteStr, size, strict, out)) {
        case Outcome::Converted: return Finish(out);
        case Outcome::Invalid: return Fail(ERROR_NO_UNICODE_TRANSLATION);
        case Outcome::NoConverter: break;
    }
    return Fail(ERROR_OUTOFMEMORY);
}

int WINAPI WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWCH lpWideCharStr, int cchWideChar,
                               LPSTR lpMultiByteStr, int cbMultiByte, LPCCH lpDefaultChar, LPBOOL lpUsedDefaultChar) {
    if (FailedByTest("WideCharToMultiByte")) return 0;
    if (!ValidArguments(lpWideCharStr, cchWideChar, lpMultiByteStr, cbMultiByte)) return Fail(ERROR_INVALID_PARAMETER);
    const UINT number = ResolveCodePage(CodePage);
    const size_t count = cchWideChar == -1 ? wcslen(lpWideCharStr) + 1 : static_cast<size_t>(cchWideChar);
    Output<char> out{lpMultiByteStr, static_cast<size_t>(cbMultiByte)};

    if (number == CP_UTF8 || number == CP_UTF7) {
        if (lpDefaultChar != nullptr || lpUsedDefaultChar != nullptr) return Fail(ERROR_INVALID_PARAMETER);
        if (number == CP_UTF8 ? (dwFlags & ~DWORD{WC_ERR_INVALID_CHARS}) != 0 : dwFlags != 0)
            return Fail(ERROR_INVALID_FLAGS);
    } else {
        DWORD allowed = WC_COMPOSITECHECK | WC_DISCARDNS | WC_SEPCHARS | WC_DEFAULTCHAR | WC_NO_BEST_FIT_CHARS;
        if (number == kGb18030) allowed |= WC_ERR_INVALID_CHARS;
        if ((dwFlags & ~allowed) != 0) return Fail(ERROR_INVALID_FLAGS);
    }
    const bool strict = (dwFlags & WC_ERR_INVALID_CHARS) != 0;

    if (number == CP_UTF8) {
        const bool wellFormed =
            platform::kernel::detail::EncodeUtf8(lpWideCharStr, count, [&](char c) { out.Put(c); });
        if (!wellFormed && strict) return Fail(ERROR_NO_UNICODE_TRANSLATION);
        return Finish(out);
    }
    const ::CodePage* page = FindCodePage(number);
    if (page == nullptr) return Fail(ERROR_INVALID_PARAMETER);

    bool usedDefault = false;
    std::string_view defaultChar = "?";
    if (lpDefaultChar != nullptr) {
        const size_t length = page->multiByte ? strnlen(lpDefaultChar, 2) : 1;
        defaultChar = std::string_view(lpDefaultChar, length == 0 ? 1 : length);
    }
    if (!page->multiByte) {
        for (size_t i = 0; i < count; ++i) {
            const int16_t byte = page->fromUnicode[lpWideCharStr[i]];
            if (byte >= 0) {
                out.Put(static_cast<char>(byte));
            } else {
                for (char c : defaultChar) out.Put(c);
                usedDefault = true;
            }
        }
    } else {
        switch (EncodeWithIconv(*page, lpWideCharStr, count, strict, defaultChar, &usedDefault, out)) {
            case Outcome::Converted: break;
            case Outcome::Invalid: return Fail(ERROR_NO_UNICODE_TRANSLATION);
            case Outcome::NoConverter: return Fail(ERROR_OUTOFMEMORY);
        }
    }
    if (lpUsedDefaultChar != nullptr) *lpUsedDefaultChar = usedDefault ? TRUE : FALSE;
    return Finish(out);
}

UINT WINAPI GetACP() { return AnsiCodePage(); }

UINT WINAPI GetOEMCP() { return kOemCodePage; }

BOOL WINAPI IsValidCodePage(UINT CodePage) {
    if (CodePage == CP_ACP || CodePage == CP_OEMCP || CodePage == CP_MACCP || CodePage == CP_THREAD_ACP) return FALSE;
    if (CodePage == CP_UTF8) return TRUE;
    return FindCodePage(CodePage) != nullptr ? TRUE : FALSE;
}

namespace platform::kernel {

bool SetAnsiCodePage(UINT codePage) noexcept {
    if (codePage == CP_UTF7 || !IsValidCodePage(codePage)) return false;
    g_ansiCodePage.store(codePage);
    g_ansiCodePageKnown.store(true, std::memory_order_release);
    return true;
}

void SetAnsiCodePageSource(UINT (*source)() noexcept) noexcept { g_ansiCodePageSource.store(source); }

}  // namespace platform::kernel

namespace platform::testing {

bool SetAnsiCodePage(UINT codePage) {
    (void)g_resetRegistered;
    return kernel::SetAnsiCodePage(codePage);
}

void ReadAnsiCodePageAtNextUse() {
    g_ansiCodePage.store(kDefaultAnsiCodePage);
    g_ansiCodePageKnown.store(false);
}

}  // namespace platform::testing
