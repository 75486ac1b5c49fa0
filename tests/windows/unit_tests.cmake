# The unit tests of a Windows build, all in one program run under the
# cross-compiling emulator (wine), and the tests of the Windows backend itself
# (tests/windows/*_test.cc). The end-to-end tests start POSIX programs and are replaced by
# tests/windows/smoke.sh.
#
# Left out here, by reason:
# - helpers that are POSIX programs: tests/support's child processes (fork, exec, kill, /proc),
#   temporary directories and servers (child.h, am_home.h, http_get.h, mail_server.h,
#   xmpp_server.h) and every test that uses them, directly or through agent_test_fakes.h or
#   client_test_support.h;
# - tests of POSIX mechanisms themselves: dispatcher_test (descriptor limits), process_leak_test
#   (inherited descriptors), socket_owner_test (/proc/net/udp), file_test, live_settings_test
#   and log_access_test (modes, symbolic links, umask).
set(_support_portable data.cc log_recorder.cc zip_writer.cc)
list(TRANSFORM _support_portable PREPEND ${CMAKE_CURRENT_SOURCE_DIR}/support/)
add_library(am_test_support STATIC ${_support_portable})
target_include_directories(am_test_support PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/support)
target_link_libraries(am_test_support PUBLIC am_adt GTest::gtest)

set(_portable amp_test arguments_test capacity_check_test distribution_name_test masks_test
    nio_tagged_test pipe_watch_test port_allocation_test queue_test schedule_test socket_test
    tagged_test text_test web_test)
set(_tests)
foreach(_name ${_portable})
  list(APPEND _tests ${CMAKE_CURRENT_SOURCE_DIR}/unit/${_name}.cc)
endforeach()
file(GLOB _windows CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/windows/*_test.cc)
list(APPEND _tests ${_windows})

# One program for all of them, so that wine starts once for the whole run.
add_executable(windows_unit_tests ${_tests})
# As on Linux: test code without optimisation, GoogleTest's header parsed once.
target_compile_options(windows_unit_tests PRIVATE -O0)
target_compile_options(am_test_support PRIVATE -O0)
target_precompile_headers(windows_unit_tests PRIVATE <gtest/gtest.h> <chrono> <filesystem> <thread>)
set_target_properties(windows_unit_tests PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
target_link_libraries(windows_unit_tests PRIVATE am_all am_test_support GTest::gtest_main GTest::gmock)
if(TARGET amclient)
  target_link_libraries(windows_unit_tests PRIVATE amclient)
endif()
# Cases left out under wine, by reason:
# - SocketErrors.FailuresCarryTheCallAndTheWinsockText: wine's recv() on a stream socket that
#   was never connected waits forever instead of failing with WSAENOTCONN;
# - WebTest.IconFilesComeFromTheIconsFolder: it plants symbolic links (and /proc/self/mem),
#   which a Windows account without the symbolic-link privilege cannot make.
set(_left_out SocketErrors.FailuresCarryTheCallAndTheWinsockText
    WebTest.IconFilesComeFromTheIconsFolder)
list(JOIN _left_out ":" _filter)
add_test(NAME windows_unit_tests COMMAND windows_unit_tests --gtest_filter=-${_filter})
set_tests_properties(windows_unit_tests PROPERTIES LABELS unit TIMEOUT 600)
