// Writing variables into the cache and saving the written ones into the message.
#include <new>

#include "message/MsgFile.h"
#include "message/RecordResolution.h"
#include "message/TimeConversion.h"

namespace msgplugin {

namespace {

// A VARIANT that is cleared when the scope ends.
struct ScopedVariant {
    VARIANT v;
    ScopedVariant() { VariantInit(&v); }
    ~ScopedVariant() { VariantClear(&v); }
    ScopedVariant(const ScopedVariant&) = delete;
    ScopedVariant& operator=(const ScopedVariant&) = delete;
};

// `value` as type vt: itself when it is plainly of that type, else converted into `scratch`.
HRESULT AsType(const VARIANT& value, VARTYPE vt, ScopedVariant& scratch, const VARIANT** result) {
    if (value.vt == vt) {
        *result = &value;
        return S_OK;
    }
    HRESULT hr = VariantChangeType(&scratch.v, const_cast<VARIANT*>(&value), 0, vt);
    if (FAILED(hr)) return hr;
    *result = &scratch.v;
    return S_OK;
}

// Whether a value of the property type `written` may replace a stored value of type `stored`:
// a text replaces anything; a number, date or yes/no value only a property of its own type.
bool KindsAgree(ULONG written, ULONG stored) {
    if (PROP_TYPE(written) == PT_UNICODE) return true;
    return PROP_TYPE(written) == PROP_TYPE(stored);
}

// Whether a VARIANT kind fits the property type it is written under (an integer also fits a
// 16-bit property, when its value does).
bool ValueFitsType(VARTYPE kind, ULONG tag) {
    switch (kind) {
    case VT_I4: return PROP_TYPE(tag) == PT_LONG || PROP_TYPE(tag) == PT_I2;
    case VT_R8: return PROP_TYPE(tag) == PT_DOUBLE;
    case VT_DATE: return PROP_TYPE(tag) == PT_SYSTIME;
    case VT_BOOL: return PROP_TYPE(tag) == PT_BOOLEAN;
    default: return true;
    }
}

// Reading serves a time in whole seconds. A date written back as the file holds it (to the
// second) keeps the stored time, with its fraction of a second, exactly: it is compared with
// the file's time, not with what an earlier write left in the cache.
void KeepStoredTimeWhenUnchanged(const FILETIME* stored, _SPropValue_t& written) {
    if (!stored || PROP_TYPE(written.ulPropTag) != PT_SYSTIME) return;
    FILETIME asRead{};
    if (!LocalDateToUtcFileTime(UtcFileTimeToLocalDate(*stored), &asRead)) return;
    if (asRead.dwLowDateTime == written.Value.ft.dwLowDateTime &&
        asRead.dwHighDateTime == written.Value.ft.dwHighDateTime)
        written.Value.ft = *stored;
}

}  // namespace

HRESULT CMsgFile::VariantToProperty(const VARIANT& value, ULONG tag, _SPropValue_t& out) {
    out.Clear();
    const VARTYPE kind = value.vt & 0x0FFF;
    if (!ValueFitsType(kind, tag)) return S_OK;  // refused: a value of one kind under a tag of another
    // The kind the value is converted to first: its own, a boolean its 16 bits.
    VARTYPE converted = kind;
    switch (kind) {
    case VT_I4: case VT_R8: case VT_DATE: case VT_BSTR: break;
    case VT_BOOL: converted = VT_UI2; break;
    default: return S_OK;  // no property for this kind of value
    }
    ScopedVariant scratch;
    const VARIANT* typed = nullptr;
    const HRESULT hr = AsType(value, converted, scratch, &typed);
    if (FAILED(hr)) return hr;
    switch (kind) {
    case VT_I4:
        if (PROP_TYPE(tag) != PT_I2) {
            out.Value.l = typed->lVal;
        } else if (typed->lVal < -32768 || typed->lVal > 32767) {
            return S_OK;  // refused: does not fit
        } else {
            out.Value.i = static_cast<short>(typed->lVal);
        }
        break;
    case VT_R8:
        out.Value.dbl = typed->dblVal;
        break;
    case VT_DATE: {
        // The inverse of reading: the host's local date back to UTC with the offset in force
        // now, so a date read and written back unchanged is stored unchanged.
        FILETIME utc{};
        if (!LocalDateToUtcFileTime(typed->date, &utc)) return S_OK;  // refused: outside the convertible range
        out.Value.ft = utc;
        break;
    }
    case VT_BSTR:
        out.SetText(typed->bstrVal, (tag & 0xFFFF0000) | PT_UNICODE);
        return S_OK;
    default:  // VT_BOOL
        out.Value.b = typed->uiVal;
        break;
    }
    out.ulPropTag = tag;
    return S_OK;
}

STDMETHODIMP CMsgFile::WriteVariables(LONG_PTR, LONG firstOnly, LONG, LONG count, VariableRequest* records) {
    return ForEachResolvedRecord(count, records, [&](VariableRequest& record, ULONG tag, bool readOnly) -> HRESULT {
        if (readOnly) return S_OK;
        _SPropValue_t property;
        {
            ScopedVariant local;
            HRESULT hr = VariantCopy(&local.v, &record.value);
            if (FAILED(hr)) return hr;
            hr = VariantToProperty(local.v, tag, property);
            if (FAILED(hr)) return hr;
        }
        bool replaced = false;
        if (property.ulPropTag != 0) {
            const _SPropValue_t* stored = m_tags.Lookup(property.ulPropTag);
            if (stored) KeepStoredTimeWhenUnchanged(m_tags.StoredTime(property.ulPropTag), property);
            replaced = stored && KindsAgree(property.ulPropTag, stored->ulPropTag) && m_tags.Replace(property);
        }
        record.found = replaced ? 1 : 0;
        if (!replaced) return S_OK;
        m_bDirty = true;
        return firstOnly ? S_FALSE : S_OK;
    });
}

STDMETHODIMP CMsgFile::Save() {
    if (!m_bDirty) return S_OK;
    if (!m_pMessage) return E_UNEXPECTED;
    for (const Tag& entry : m_tags.Entries()) {
        if (!entry.modified) continue;
        SPropValue sent = entry.value;
        sent.dwAlignPad = 0;
        HRESULT hr = m_pMessage->SetProps(1, &sent, nullptr);
        if (FAILED(hr)) return hr;
    }
    HRESULT hr = m_pMessage->SaveChanges(KEEP_OPEN_READWRITE);
    if (FAILED(hr)) return hr;
    m_tags.MarkSaved();
    m_bDirty = false;
    return S_OK;
}

}  // namespace msgplugin
