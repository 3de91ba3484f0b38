# Precompiled headers: the library headers that most files parse (GoogleTest,
# fmt, jsoncpp, Boost.Date_Time, the standard library) are compiled once per
# target instead of once per file. Included at the end of the top-level
# CMakeLists.txt, when every target exists. Lists: cmake/precompiled/*.h.
#
# A target reuses another's header (REUSE_FROM) only when GCC and clang accept
# it: the same flags that shape a precompiled header (-fPIC for the plug-in's
# objects, the sanitizers of a preset), and every macro defined on the owner's
# command line defined alike on the user's, so the owner is the target with
# the fewest definitions. -Winvalid-pch comes with every use, so a header the
# compiler refuses is an error under VOKA_WERROR, never a silent full parse.
option(VOKA_PRECOMPILED_HEADERS "Precompile the library headers most files include" ON)
if(NOT VOKA_PRECOMPILED_HEADERS)
  return()
endif()
# Not for GCC's fully optimised builds (-O2, -O3, -Os: release, armhf): GCC
# 12's flow-based warnings (-Warray-bounds, -Wstringop-overflow) follow what it
# inlines, which the header changes, and the armhf build with it stops on false
# errors inside libstdc++'s string code. Those builds parse their headers file
# by file, as before. The sanitizer builds (-O1) inline little and build
# warning-free with it: they keep it, where it saves most.
string(TOUPPER "${CMAKE_BUILD_TYPE}" voka_pch_config)
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU"
   AND " ${CMAKE_CXX_FLAGS} ${CMAKE_CXX_FLAGS_${voka_pch_config}} " MATCHES " -O[23s] ")
  return()
endif()

set(VOKA_PCH_DIR ${PROJECT_SOURCE_DIR}/cmake/precompiled)

# The host side: one header for its libraries and programs, the benchmarks and
# the fuzz targets. The host core has the fewest definitions: it owns it.
target_precompile_headers(voka_host_core PRIVATE ${VOKA_PCH_DIR}/host.h)
set(host_side voka_line voka_sim_core voka_host_program voka-host voka-sim ac_reload_demo
  voka_bench voka_history_bench voka_scrape_bench voka_fuzz_controller)
if(TARGET voka_fuzzers)
  get_target_property(fuzz_targets voka_fuzzers MANUALLY_ADDED_DEPENDENCIES)
  list(APPEND host_side ${fuzz_targets})
endif()
foreach(target IN LISTS host_side)
  if(TARGET ${target})
    target_precompile_headers(${target} REUSE_FROM voka_host_core)
  endif()
endforeach()

if(TARGET voka_tests)
  target_precompile_headers(voka_tests PRIVATE ${VOKA_PCH_DIR}/tests.h)
  # With the header, GCC 12 under ThreadSanitizer (-O1) inlines differently and
  # reports a false array-bounds inside libstdc++'s string concatenation in
  # this test, which it does not without: it parses its headers itself and
  # keeps its warnings as they were.
  set_source_files_properties(${PROJECT_SOURCE_DIR}/tests/sim_scenario_test.cpp TARGET_DIRECTORY voka_tests
    PROPERTIES SKIP_PRECOMPILE_HEADERS ON)
endif()

# Not the plug-in's objects: six files, position-independent (-fPIC), so with
# a header of their own, whose build cost what it saved them (scripts/build-cost.sh).
