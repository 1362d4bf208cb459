// The module's exports and its proxy/stub.
#pragma once

#include <windows.h>
#include <objbase.h>
#if defined(__MINGW32__)
// MinGW-w64's rpcproxy.h compiles only as C (it needs objidl.h's C vtables). The module uses the
// proxy/stub's types only through pointers, and its entry points as rpcproxy.h declares them.
struct tagProxyFileInfo;
typedef tagProxyFileInfo ProxyFileInfo;
struct tagCStdPSFactoryBuffer;
typedef tagCStdPSFactoryBuffer CStdPSFactoryBuffer;
extern "C" {
DECLSPEC_IMPORT HRESULT WINAPI NdrDllGetClassObject(REFCLSID rclsid, REFIID riid, void** ppv,
                                                    const ProxyFileInfo** pProxyFileList, const CLSID* pclsid,
                                                    CStdPSFactoryBuffer* pPSFactoryBuffer);
DECLSPEC_IMPORT HRESULT WINAPI NdrDllCanUnloadNow(CStdPSFactoryBuffer* pPSFactoryBuffer);
DECLSPEC_IMPORT HRESULT WINAPI NdrDllRegisterProxy(HMODULE hDll, const ProxyFileInfo** pProxyFileList,
                                                   const CLSID* pclsid);
DECLSPEC_IMPORT HRESULT WINAPI NdrDllUnregisterProxy(HMODULE hDll, const ProxyFileInfo** pProxyFileList,
                                                     const CLSID* pclsid);
}
#else
#include <rpcproxy.h>
#endif

#ifdef _WIN32
#define MSGPLUGIN_EXPORT extern "C"  // MsgPlugin.def names the exports
#else
#define MSGPLUGIN_EXPORT extern "C" __attribute__((visibility("default")))  // all else is hidden
#endif

MSGPLUGIN_EXPORT HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv);
MSGPLUGIN_EXPORT HRESULT STDAPICALLTYPE DllCanUnloadNow();
MSGPLUGIN_EXPORT HRESULT STDAPICALLTYPE DllRegisterServer();
MSGPLUGIN_EXPORT HRESULT STDAPICALLTYPE DllUnregisterServer();

// The proxy/stub of the module's own interfaces, generated from MsgPlugin.idl: the list of its
// proxy files and its class object. It is served under IID_IMsgFormat as a class id.
extern "C" const ProxyFileInfo* aProxyFileList[];
extern "C" CStdPSFactoryBuffer gPFactory;

namespace msgplugin {

// Whether the module started when it was loaded; a module that did not start serves nothing.
bool ModuleStarted();

}  // namespace msgplugin
