# The Windows x64 build (MinGW-w64): what the platform layer stands in for on Linux comes from
# the SDK's import libraries, mapi32 and msi imported by ordinal; GoogleTest is built from
# Debian's sources for the test programs that run under Wine.

# Import libraries by ordinal, made from the .def files here.
set(_ordinal_libraries)
foreach(dll mapi32 msi)
  set(library ${CMAKE_BINARY_DIR}/lib/lib${dll}_ordinals.a)
  add_custom_command(OUTPUT ${library}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/lib
    COMMAND ${MINGW_DLLTOOL} --input-def ${CMAKE_CURRENT_LIST_DIR}/${dll}.def --output-lib ${library}
    DEPENDS ${CMAKE_CURRENT_LIST_DIR}/${dll}.def VERBATIM)
  list(APPEND _ordinal_libraries ${library})
endforeach()
add_custom_target(ordinal_import_libraries DEPENDS ${_ordinal_libraries})

# winapi: the Windows API as module code calls it.
add_library(winapi INTERFACE)
add_dependencies(winapi ordinal_import_libraries)
target_link_libraries(winapi INTERFACE ${_ordinal_libraries}
  ole32 oleaut32 uuid advapi32 shell32 shlwapi user32 rpcrt4)
target_compile_definitions(winapi INTERFACE
  UNICODE _UNICODE NOMINMAX STRSAFE_NO_DEPRECATE _WIN32_WINNT=0x0601)
# MinGW-w64 has no ATL headers: the registrar's <atliface.h> is the platform's, which declares the
# registrar as the SDK does with nothing but the SDK's <objbase.h>. It stands alone in a folder of
# its own, so that no other header of the platform's takes the place of the SDK's.
set(_atl_headers ${CMAKE_BINARY_DIR}/include/atl)
file(MAKE_DIRECTORY ${_atl_headers})
file(CREATE_LINK ${CMAKE_SOURCE_DIR}/Platform/include/atliface.h ${_atl_headers}/atliface.h SYMBOLIC)
target_include_directories(winapi SYSTEM INTERFACE ${_atl_headers})

# Everything is linked statically with the compiler's runtime: the DLL and the test programs
# need nothing beside them but the system's own libraries.
add_link_options(-static -static-libgcc -static-libstdc++)

# GoogleTest from Debian's sources, without the project's warning flags.
if(MSGPLUGIN_TESTS)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(gtest_disable_pthreads ON CACHE BOOL "" FORCE)
  add_subdirectory(${MSGPLUGIN_GOOGLETEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  # The Win32-threads compilers have no std::mutex: GoogleTest's one use of it, Notification, on
  # the system's events instead.
  target_compile_definitions(gtest PUBLIC GTEST_HAS_NOTIFICATION_=1)
  target_compile_options(gtest PUBLIC -include ${CMAKE_CURRENT_LIST_DIR}/gtest_notification.h)
endif()
set(MSGPLUGIN_WINE_LIBRARY_DIR "/usr/lib/x86_64-linux-gnu/wine/x86_64-windows" CACHE PATH "Wine's Windows libraries: stdole2.tlb for type libraries, the system DLLs the tests run on")
