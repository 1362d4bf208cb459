// info: what the plug-in says of itself and of the extensions it serves.
#include <iostream>
#include <sstream>

#include <windows.h>
#include <oleauto.h>

#include "commands.h"
#include "format_host.h"
#include "results.h"
#include "text.h"

namespace cardhost {

int RunInfo(const std::string& module) {
    auto host = OpenFormat(module);
    if (!host) return kExitOpenFailed;
    Bstr product, description, extensions;
    HRESULT hr = host->Format()->GetInfo(product.Put(), description.Put(), extensions.Put());
    if (FAILED(hr)) {
        std::cerr << "cardhost: GetInfo failed\n  " << DescribeResult(hr) << "\n";
        return kExitOpenFailed;
    }
    std::cout << "product:     " << BstrToUtf8(product.Get()) << "\n"
              << "description: " << BstrToUtf8(description.Get()) << "\n"
              << "extensions:  " << BstrToUtf8(extensions.Get()) << "\n";
    // The list may name several extensions, separated by ';', ',' or spaces.
    std::string list = BstrToUtf8(extensions.Get());
    for (char& c : list)
        if (c == ';' || c == ',') c = ' ';
    std::istringstream words(list);
    for (std::string extension; words >> extension;) {
        Bstr name(ToUtf16(extension));
        LONG flags = 0;
        hr = host->Format()->GetExtensionFlags(name.Get(), &flags);
        if (FAILED(hr))
            std::cout << "flags of ." << extension << ": " << DescribeResult(hr) << "\n";
        else
            std::cout << "flags of ." << extension << ": " << HexCode(flags) << "\n";
    }
    // The plug-in shows 8-bit text of a message in this code page.
    std::cout << "code page:   " << GetACP() << " (ANSI, for 8-bit text)\n";
    return kExitSuccess;
}

}  // namespace cardhost
