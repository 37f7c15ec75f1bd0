# Shared helpers for the folder CMakeLists.

# risk_library(name [NODE_API] SOURCES ... DEPS ...): one static library per
# component. Only the floors that talk to the script engine (platform,
# bridge) say NODE_API and see its headers.
function(risk_library name)
  cmake_parse_arguments(ARG "NODE_API" "" "SOURCES;DEPS" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
  if(ARG_NODE_API)
    target_include_directories(${name} PUBLIC ${NODE_API_INCLUDE_DIR})
  endif()
  target_compile_options(${name} PRIVATE ${RISK_WARNINGS})
  target_link_libraries(${name} PUBLIC ${ARG_DEPS} Threads::Threads)
endfunction()

# risk_test(name LIBS ...): builds name.cc in the current folder into a
# GoogleTest binary and registers every test case with ctest by name.
function(risk_test name)
  if(NOT RISK_BUILD_TESTS)
    return()
  endif()
  cmake_parse_arguments(ARG "" "" "LIBS" ${ARGN})
  find_package(GTest REQUIRED)
  include(GoogleTest)
  add_executable(${name} ${name}.cc)
  target_compile_options(${name} PRIVATE ${RISK_WARNINGS})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gtest_main Threads::Threads)
  target_compile_definitions(${name} PRIVATE RISK_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
  gtest_discover_tests(${name} WORKING_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR} DISCOVERY_TIMEOUT 60)
endfunction()

# risk_host_module(target): a library the host loads (the module, the test
# and benchmark addons) gets the host's log sink (bridge/host_log.cc).
function(risk_host_module target)
  target_sources(${target} PRIVATE $<TARGET_OBJECTS:risk_host_log>)
endfunction()
