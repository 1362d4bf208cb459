// The module's exports and its proxy/stub.
#pragma once

#include <windows.h>

#define MSGPLUGIN_EXPORT extern "C" __attribute__((visibility("default")))

MSGPLUGIN_EXPORT HRESULT DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv);
MSGPLUGIN_EXPORT HRESULT DllCanUnloadNow();
MSGPLUGIN_EXPORT HRESULT DllRegisterServer();
MSGPLUGIN_EXPORT HRESULT DllUnregisterServer();

namespace msgplugin {

// The proxy/stub of the module's own interfaces, served under IID_IMsgFormat as a class id.
extern const ProxyFileInfo* const kProxyFileList[];
extern CStdPSFactoryBuffer g_proxyFactory;

// Whether the module started when it was loaded; a module that did not start serves nothing.
bool ModuleStarted();

}  // namespace msgplugin
