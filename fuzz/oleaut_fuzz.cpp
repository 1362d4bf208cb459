// Text conversions of VariantChangeType: any UTF-16 text converted to every supported type must
// succeed or fail cleanly, and what succeeds must survive a round trip through text.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <windows.h>

namespace {

const VARTYPE kTargets[] = {VT_I2, VT_I4, VT_UI2, VT_R4, VT_R8, VT_DATE, VT_BOOL, VT_BSTR, VT_ERROR};

void Check(bool condition) {
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    BSTR text = SysAllocStringByteLen(reinterpret_cast<const char*>(data), static_cast<UINT>(size & ~size_t{1}));
    if (!text) return 0;
    VARIANT src;
    VariantInit(&src);
    src.vt = VT_BSTR;
    src.bstrVal = text;
    for (VARTYPE vt : kTargets) {
        VARIANT dest;
        VariantInit(&dest);
        HRESULT hr = VariantChangeType(&dest, &src, 0, vt);
        if (FAILED(hr)) {
            Check(hr == DISP_E_TYPEMISMATCH || hr == DISP_E_OVERFLOW);
            Check(dest.vt == VT_EMPTY);
            continue;
        }
        Check(dest.vt == vt);
        // Written back as text and read again, a value is what it was (dates to the second).
        VARIANT again;
        VariantInit(&again);
        Check(VariantChangeType(&again, &dest, VARIANT_ALPHABOOL, VT_BSTR) == S_OK || vt == VT_ERROR);
        if (vt != VT_ERROR && vt != VT_R4 && vt != VT_R8) {
            Check(VariantChangeType(&again, &again, 0, vt) == S_OK);
            switch (vt) {
                case VT_I2: Check(again.iVal == dest.iVal); break;
                case VT_I4: Check(again.lVal == dest.lVal); break;
                case VT_UI2: Check(again.uiVal == dest.uiVal); break;
                case VT_BOOL: Check(again.boolVal == dest.boolVal); break;
                case VT_DATE: Check(std::fabs(again.date - dest.date) < 1e-6); break;
                case VT_BSTR:
                    Check(SysStringLen(again.bstrVal) == SysStringLen(text));
                    Check(std::memcmp(again.bstrVal, text, SysStringByteLen(text)) == 0);
                    break;
                default: break;
            }
        }
        VariantClear(&again);
        VariantClear(&dest);
    }
    VariantClear(&src);
    return 0;
}
