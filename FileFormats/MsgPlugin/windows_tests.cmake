# The module's tests under Wine, on Wine's own system libraries: one program, run once per test
# suite in a fresh prefix made under the build folder (nothing registered, no mail client).
if(NOT MSGPLUGIN_TESTS)
  return()
endif()

add_executable(msgplugin_windows_test
  frame/windows_test_main.cpp
  frame/windows_test_support.cpp
  frame/windows_test_pe.cpp
  frame/windows_test_registry.cpp
  frame/windows_test_module.cpp
  frame/windows_test_processes.cpp
  frame/WindowsDll_test.cpp
  frame/WindowsCardStress_test.cpp
  frame/card_stress.cpp
  frame/Guids.cpp
  message/WindowsOpening_test.cpp)
target_include_directories(msgplugin_windows_test PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(msgplugin_windows_test PRIVATE gtest msgplugin_log winapi)
add_dependencies(msgplugin_windows_test MsgPlugin)
# The sources as the test program finds them: Wine's drive Z: is the Linux file system's root.
string(REPLACE "/" "\\\\" source_dir_windows "Z:${CMAKE_CURRENT_SOURCE_DIR}")
target_compile_definitions(msgplugin_windows_test PRIVATE MSGPLUGIN_SOURCE_DIR_WINDOWS="${source_dir_windows}")
get_filename_component(corpus_dir ${MSGPLUGIN_CORPUS_DIR} REALPATH)
string(REPLACE "/" "\\\\" corpus_dir_windows "Z:${corpus_dir}")
target_compile_definitions(msgplugin_windows_test PRIVATE MSGPLUGIN_CORPUS_DIR_WINDOWS=L"${corpus_dir_windows}")

# The prefix's wineserver stays up from the setup to the shutdown, so that no Wine run of the tests
# meets a server that is starting or shutting down (one left idle for 3 s stops by itself).
set(wine_prefix ${CMAKE_BINARY_DIR}/wineprefix)
add_test(NAME windows.prefix COMMAND ${CMAKE_SOURCE_DIR}/tools/wine/fresh-prefix.sh ${wine_prefix})
set_tests_properties(windows.prefix PROPERTIES FIXTURES_SETUP wine TIMEOUT 180)
add_test(NAME windows.shutdown COMMAND sh -c "WINEPREFIX='${wine_prefix}' wineserver -k || true")
set_tests_properties(windows.shutdown PROPERTIES FIXTURES_CLEANUP wine)

# Suites that change the registry, or write and hold the log, do not overlap.
foreach(suite Exports Registration Activation Opening QuietLog)
  add_test(NAME windows.${suite} COMMAND msgplugin_windows_test --gtest_filter=${suite}.*)
  # Longer than a helper child's own timeout (60 s), so that a child that hangs fails its test
  # with what it wrote.
  set_tests_properties(windows.${suite} PROPERTIES FIXTURES_REQUIRED wine ENVIRONMENT WINEPREFIX=${wine_prefix}
    TIMEOUT 200)
endforeach()
set_tests_properties(windows.Registration windows.Activation PROPERTIES RESOURCE_LOCK registry)
set_tests_properties(windows.Opening windows.QuietLog PROPERTIES RESOURCE_LOCK log)

# The DLL as shipped, read from its file (no Wine needed): the ordinals' functions, nothing of a
# threads library, stripped with its symbols beside it, subsystem, no test hooks, one version.
find_program(MSIINFO msiinfo REQUIRED)
add_test(NAME windows.dll
  COMMAND ${MSGPLUGIN_PYTHON} ${CMAKE_CURRENT_SOURCE_DIR}/frame/windows_dll_test.py
    --dll $<TARGET_FILE:MsgPlugin> --debug-file $<TARGET_FILE:MsgPlugin>.debug --standin $<TARGET_FILE:mapi32>
    --cardhost-exe $<TARGET_FILE:cardhost> --msi ${CMAKE_BINARY_DIR}/bin/MsgPlugin.msi
    --objdump ${MINGW_OBJDUMP} --nm ${MINGW_NM} --msiinfo ${MSIINFO}
    --version ${MSGPLUGIN_VERSION} --file-version ${MSGPLUGIN_FILE_VERSION})

# The whole card from eight threads on the stand-in mapi32 (Wine's own has no message store).
add_dependencies(msgplugin_windows_test mapi32)
add_test(NAME windows.Stress COMMAND msgplugin_windows_test --gtest_filter=Stress.*)
set_tests_properties(windows.Stress PROPERTIES FIXTURES_REQUIRED wine RESOURCE_LOCK "log;registry" TIMEOUT 600
  ENVIRONMENT "WINEPREFIX=${wine_prefix};WINEDLLOVERRIDES=mapi32=n")
