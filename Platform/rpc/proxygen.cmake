# The platform's interface compiler for proxy/stubs: writes the proxy file of an interface
# definition's object interfaces (those derived from another interface) for the platform's RPC
# runtime, which never marshals within one process and so only needs their ids and names. It
# defines what a generated proxy/stub defines on Windows: <Name>_ProxyFileInfo, the list
# aProxyFileList and the class object gPFactory.
#   cmake -DIDL=file.idl -DNAME=Name -DOUTPUT=file_p.cpp -P proxygen.cmake
file(READ "${IDL}" text)
string(REGEX REPLACE "//[^\n]*" "" text "${text}")
string(REGEX MATCHALL "uuid\\([^)]*\\)|interface[ \t\r\n]+[A-Za-z_][A-Za-z_0-9]*[ \t\r\n]*:" tokens "${text}")

set(uuid "")
set(definitions "")
set(iids "")
set(names "")
set(count 0)
foreach(token IN LISTS tokens)
  if(token MATCHES "^uuid\\(([^)]*)\\)$")
    string(STRIP "${CMAKE_MATCH_1}" uuid)
  elseif(token MATCHES "^interface[ \t\r\n]+([A-Za-z_][A-Za-z_0-9]*)")
    set(name ${CMAKE_MATCH_1})
    if(NOT uuid MATCHES "^[0-9A-Fa-f]+-[0-9A-Fa-f]+-[0-9A-Fa-f]+-[0-9A-Fa-f]+-[0-9A-Fa-f]+$")
      message(FATAL_ERROR "${IDL}: interface ${name} has no uuid attribute")
    endif()
    string(REPLACE "-" "" hex "${uuid}")
    string(LENGTH "${hex}" length)
    if(NOT length EQUAL 32)
      message(FATAL_ERROR "${IDL}: the uuid of interface ${name} is not 128 bits")
    endif()
    string(SUBSTRING "${hex}" 0 8 data1)
    string(SUBSTRING "${hex}" 8 4 data2)
    string(SUBSTRING "${hex}" 12 4 data3)
    set(data4 "")
    foreach(offset 16 18 20 22 24 26 28 30)
      string(SUBSTRING "${hex}" ${offset} 2 byte)
      list(APPEND data4 "0x${byte}")
    endforeach()
    list(JOIN data4 ", " data4)
    string(APPEND definitions
      "const IID kInterface${count} = {0x${data1}, 0x${data2}, 0x${data3}, {${data4}}};  // ${name}\n")
    string(APPEND iids "&kInterface${count}, ")
    string(APPEND names "\"${name}\", ")
    math(EXPR count "${count} + 1")
    set(uuid "")
  endif()
endforeach()
if(count EQUAL 0)
  message(FATAL_ERROR "${IDL}: no object interface")
endif()

get_filename_component(source "${IDL}" NAME)
file(WRITE "${OUTPUT}.new"
"// Generated from ${source}: the proxy file of its interfaces. Do not edit.
#include <rpcproxy.h>

namespace {
${definitions}const IID* const kInterfaces[] = {${iids}};
const char* const kNames[] = {${names}};
}  // namespace

extern \"C\" {
extern const ProxyFileInfo ${NAME}_ProxyFileInfo;
const ProxyFileInfo ${NAME}_ProxyFileInfo = {kInterfaces, kNames, ${count}, 2};
const ProxyFileInfo* aProxyFileList[] = {&${NAME}_ProxyFileInfo, nullptr};
CStdPSFactoryBuffer gPFactory;
}
")
file(COPY_FILE "${OUTPUT}.new" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.new")
