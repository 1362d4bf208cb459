// Internal pieces shared by the mapi service's sources (not part of the platform's API).
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "mapi/mapi.h"

namespace platform::mapi {

// The allocators an object hands its results out with.
struct Allocators {
    LPALLOCATEBUFFER allocate = nullptr;
    LPALLOCATEMORE more = nullptr;
    LPFREEBUFFER free = nullptr;
};
Allocators DefaultAllocators();

// A property value in the form the .msg layout stores it: fixed-size values in 8 little-endian
// bytes, single variable-size values as their stream's bytes (strings without terminator),
// multi-valued fixed-size values as one array of bytes, multi-valued variable-size values as
// one byte string per value.
struct RawValue {
    ULONG type = PT_NULL;
    BYTE fixed[8] = {};
    std::vector<BYTE> bytes;
    std::vector<std::vector<BYTE>> items;
};

enum class TypeClass { Fixed, Variable, MultiFixed, MultiVariable, Object, Unsupported };
TypeClass ClassOf(ULONG type);
// Bytes of one element of a fixed-size type (also of a multi-valued fixed-size type).
ULONG FixedElementSize(ULONG type);
// Terminator bytes a stored string's size counts (1 for 8-bit, 2 for Unicode, 0 otherwise).
ULONG TerminatorSize(ULONG type);

// Total bytes of a raw value's payload (the figure the inline limit is applied to).
size_t PayloadSize(const RawValue& raw);

// Builds one SPropValue from a raw value, payload allocated with `more` linked to `parent`.
SCODE RawToProp(const RawValue& raw, ULONG tag, const Allocators& alloc, void* parent, SPropValue& out);
// Takes an SPropValue apart into its raw form; MAPI_E_BAD_VALUE / MAPI_E_INVALID_TYPE when it
// cannot be stored.
SCODE PropToRaw(const SPropValue& prop, RawValue& raw);
// Deep copy of a value (payload linked to `parent`).
SCODE CopyProp(const SPropValue& src, const Allocators& alloc, void* parent, SPropValue& out);

// Text conversions with a Windows code page.
bool BytesToUtf16(UINT codePage, const BYTE* data, size_t size, std::basic_string<WCHAR>& out);
bool Utf16ToBytes(UINT codePage, const WCHAR* data, size_t count, std::string& out);
UINT AnsiCodePage();
// Converts a string (or multi-valued string) raw value to `targetType` with `codePage`.
bool ConvertStringRaw(const RawValue& in, ULONG targetType, UINT codePage, RawValue& out);

// An IStream over bytes in memory. When writable, `commit` receives the contents on Commit
// and on the last Release after uncommitted writes.
IStream* NewMemoryStream(std::vector<BYTE> contents, bool writable,
                         std::function<HRESULT(const std::vector<BYTE>&)> commit);

// A table over rows the caller built (each row an array in one MAPIAllocateBuffer chain);
// `columns` is the default column set.
struct TableRow {
    LPSPropValue props = nullptr;  // MAPIAllocateBuffer chain
    ULONG count = 0;
};
// A snapshot table of `rows`, which it takes (and frees when released); null, with the rows
// left in `rows`, when there is no memory for one.
IMAPITable* NewTable(std::vector<ULONG> columns, std::vector<TableRow>& rows);

}  // namespace platform::mapi
