# The unit tests of a Windows build: one ctest entry per test program, run under the
# cross-compiling emulator (wine). Tests of POSIX-only mechanisms are left out, each with the
# reason; the end-to-end tests start POSIX programs and are replaced by tests/windows/smoke.sh.
file(GLOB _support CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/support/*.cc)
add_library(am_test_support STATIC ${_support})
target_include_directories(am_test_support PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/support)
target_link_libraries(am_test_support PUBLIC am_adt)
target_compile_definitions(am_test_support PUBLIC AM_SOURCE_DIR="${PROJECT_SOURCE_DIR}")

set(AM_POSIX_ONLY_TESTS
)

file(GLOB _unit CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/unit/*_test.cc)
foreach(_file ${_unit})
  get_filename_component(_name ${_file} NAME_WE)
  if(_name IN_LIST AM_POSIX_ONLY_TESTS)
    continue()
  endif()
  add_executable(${_name} ${_file})
  set_target_properties(${_name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
  target_link_libraries(${_name} PRIVATE am_all am_test_support GTest::gtest_main GTest::gmock)
  if(TARGET amclient)
    target_link_libraries(${_name} PRIVATE amclient)
  endif()
  add_test(NAME ${_name} COMMAND ${_name})
  set_tests_properties(${_name} PROPERTIES LABELS unit TIMEOUT 300)
endforeach()
