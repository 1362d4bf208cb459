// The message object: one opened .msg file, served to the host through its navigator.
#pragma once

#include <windows.h>
#include <objbase.h>
#include <oleauto.h>
#include <mapidefs.h>
#include <mapix.h>

#include "frame/ComHolders.h"
#include "frame/ComObjects.h"
#include "frame/HostInterfaces.h"
#include "frame/MsgPluginInterfaces.h"
#include "message/TagFinder.h"

namespace msgplugin {

class CMsgFile : public ComObjectRoot<SingleThreadModel>, public IMsgFile, public IKivFileNavigator {
public:
    static const InterfaceEntry* Interfaces();

    CMsgFile();
    virtual ~CMsgFile();

    // Creates a message object directly (not through the class factory), opens `path` and
    // hands out its navigator with the one reference; on failure nothing is left behind.
    static HRESULT OpenInProcess(BSTR path, IKivFileNavigator** navigator);

    // Opens the file as a MAPI message and fills the value cache. Called once, right after
    // construction.
    HRESULT mhInitialize(LPCWSTR path);

    // Reads the body from the message into *value as VT_BSTR; false when it cannot be read
    // (value untouched). Throws std::bad_alloc when the result string cannot be allocated.
    bool mbGetBodyProperty(VARIANT* value);

    // A cached value as the VARIANT the host receives; false for a type without a conversion
    // or when no memory is left (value is then VT_EMPTY).
    static bool PropertyToVariant(const SPropValue& property, VARIANT* value);

    // The host's value as a property value under `tag`. S_OK with out.ulPropTag == 0 when the
    // value is refused; a failure code when a VARIANT operation fails.
    static HRESULT VariantToProperty(const VARIANT& value, ULONG tag, _SPropValue_t& out);

    // IKivFileNavigator
    STDMETHODIMP Unsupported4(LONG, BSTR* arg2, VARIANT* arg3) override;
    STDMETHODIMP Unsupported5() override;
    STDMETHODIMP Unsupported6(LONG* arg1) override;
    STDMETHODIMP Unsupported7(BSTR* arg1, BSTR* arg2, BSTR* arg3, LONG* arg4, VARIANT* arg5) override;
    STDMETHODIMP Unsupported8(LONG, LONG, BSTR* arg3, LONG* arg4) override;
    STDMETHODIMP Unsupported9(LONG, LONG, BSTR* arg3, LONG* arg4) override;
    STDMETHODIMP WriteVariables(LONG_PTR hostContext, LONG firstOnly, LONG reserved, LONG count,
                                VariableRequest* records) override;
    STDMETHODIMP ReadVariables(LONG_PTR hostContext, LONG firstOnly, LONG reserved, LONG count,
                               VariableRequest* records) override;
    STDMETHODIMP Unsupported12(BSTR* arg1, LONG* arg2) override;
    STDMETHODIMP Unsupported13(LONG, LONG, LONG* arg3) override;
    STDMETHODIMP Unsupported14(LONG, BSTR* arg2, LONG* arg3) override;
    STDMETHODIMP Unsupported15() override;
    STDMETHODIMP Save() override;
    STDMETHODIMP Unsupported17(LONG* arg1) override;
    STDMETHODIMP Unsupported18(LONG, LONG, LONG, BSTR* arg4, LONG* arg5) override;
    STDMETHODIMP Unsupported19() override;
    STDMETHODIMP NoOp20() override;
    STDMETHODIMP NoOp21() override;
    STDMETHODIMP Unsupported22() override;
    STDMETHODIMP Unsupported23() override;

    // State, open to the navigator's operations and to tests.
    CComBSTR m_path;
    CComPtr<IMessage> m_pMessage;
    LPSPropValue m_pProps = nullptr;
    TagFinder m_tags;
    bool m_bDirty = false;

private:
    // Whether this object's start of MAPI succeeded: only a start it made is ended, so a failed
    // start never ends a use of MAPI that belongs to someone else in the process.
    bool m_bMapiStarted = false;

    HRESULT OpenMessage(LPCWSTR path);
    void CollectAttachmentNames();
    // Appends one entry to the diagnostics log; the outcome is not consulted.
    static void Log(HRESULT code, DWORD category, LPCWSTR function, LPCWSTR text);
    bool LogBodyFailure(HRESULT code, LPCWSTR text);
};

// Tag of the Unicode body, the one variable read from the message rather than the cache.
inline constexpr ULONG kBodyTag = 0x1000001F;

}  // namespace msgplugin
