// The rules every object on an element follows: names, modes, and what Stat reports.
#include "storage/storage_objects.h"

#include <cstring>

#include "base/native_name.h"

namespace platform::storage {

bool CanRead(DWORD mode) { return (mode & 3) != STGM_WRITE; }
bool CanWrite(DWORD mode) { return (mode & 3) == STGM_WRITE || (mode & 3) == STGM_READWRITE; }

std::u16string WideToString(const OLECHAR* text) {
    std::u16string out;
    while (*text && out.size() <= kMaxNameChars) out.push_back(*text++);
    return out;
}

HRESULT CheckNewName(const OLECHAR* name) {
    if (!name) return STG_E_INVALIDPOINTER;
    size_t length = 0;
    for (const OLECHAR* p = name; *p; ++p, ++length) {
        if (length >= kMaxNameChars) return STG_E_INVALIDNAME;
        if (*p == u'/' || *p == u'\\' || *p == u':' || *p == u'!') return STG_E_INVALIDNAME;
    }
    return length == 0 ? STG_E_INVALIDNAME : S_OK;
}

HRESULT CheckLookupName(const OLECHAR* name, size_t* length) {
    if (!name) return STG_E_INVALIDPOINTER;
    size_t count = 0;
    for (const OLECHAR* p = name; *p; ++p)
        if (++count > kMaxNameChars) return STG_E_INVALIDNAME;
    if (length) *length = count;
    return count == 0 ? STG_E_INVALIDNAME : S_OK;
}

HRESULT CheckElementMode(DWORD mode, DWORD parentMode, bool stream) {
    const DWORD known = 3 | 0x70 | STGM_CREATE | STGM_TRANSACTED | STGM_DIRECT_SWMR;
    if ((mode & ~known) || (mode & 3) == 3) return STG_E_INVALIDFLAG;
    if ((mode & 0x70) != STGM_SHARE_EXCLUSIVE) return STG_E_INVALIDFLAG;
    if (mode & STGM_DIRECT_SWMR) return STG_E_INVALIDFLAG;
    if ((mode & STGM_TRANSACTED) && (stream || CanWrite(mode))) return STG_E_INVALIDFLAG;
    if (CanWrite(mode) && !CanWrite(parentMode)) return STG_E_ACCESSDENIED;
    return S_OK;
}

bool IsWithin(const Directory& directory, uint32_t id, uint32_t ancestor) {
    for (; id != kNoStream; id = directory.At(id).parent)
        if (id == ancestor) return true;
    return false;
}

HRESULT AllocateName(const std::u16string& name, LPOLESTR* out) {
    *out = static_cast<LPOLESTR>(CoTaskMemAlloc((name.size() + 1) * sizeof(OLECHAR)));
    if (!*out) return STG_E_INSUFFICIENTMEMORY;
    std::memcpy(*out, name.data(), name.size() * sizeof(OLECHAR));
    (*out)[name.size()] = 0;
    return S_OK;
}

FILETIME FileTimeAt(const BYTE* p) { return {Load32(p), Load32(p + 4)}; }
void StoreFileTime(BYTE* p, const FILETIME& time) {
    Store32(p, time.dwLowDateTime);
    Store32(p + 4, time.dwHighDateTime);
}

HRESULT FillStat(Document& document, uint32_t id, DWORD mode, DWORD flag, STATSTG* stat) {
    std::memset(stat, 0, sizeof *stat);
    const Directory& directory = document.directory;
    const BYTE type = directory.Type(id);
    if (flag != STATFLAG_NONAME) {
        // A root opened from a file is named by the file's path, as Windows names it.
        std::u16string name = type == kTypeRoot && !document.path.empty() ? platform::names::FromNative(document.ResolvedPath())
                                                                           : directory.Name(id);
        HRESULT hr = AllocateName(name, &stat->pwcsName);
        if (FAILED(hr)) return hr;
    }
    const BYTE* entry = directory.Entry(id);
    stat->type = directory.IsStorage(id) ? STGTY_STORAGE : STGTY_STREAM;
    stat->cbSize.QuadPart = type == kTypeStream ? document.Content(id).size : 0;
    stat->mtime = FileTimeAt(entry + 108);
    stat->ctime = FileTimeAt(entry + 100);
    stat->grfMode = mode;
    std::memcpy(&stat->clsid, entry + 80, sizeof stat->clsid);
    stat->grfStateBits = Load32(entry + 96);
    return S_OK;
}

}  // namespace platform::storage
