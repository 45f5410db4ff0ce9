# The native build (Linux, clang or gcc; the fuzz tree needs clang): the whole decision on a
# connection (the table, the white, black and allow lists, the store seam and the merge of a
# store's answer), the masks, the entry parsing, the list files' reader with its range set, the
# lists' publishing and retiring with the call gate's counts, and the
# shared store's protocol, from the module's own sources, for sanitizers, fuzzing and
# benchmarks; the tests put a fake store behind the seam. The event handler's log lines, the
# store's connections and the host binding stay out: their records are laid out for a
# 32-bit Windows process.
#
# TOLLGATE_NATIVE_MODE picks what one tree builds, so that each tree stays small:
#   asan   unit and stress tests under AddressSanitizer + UndefinedBehaviorSanitizer
#   tsan   the same tests under ThreadSanitizer
#   fuzz   the libFuzzer targets (clang), with AddressSanitizer + UndefinedBehaviorSanitizer
#   bench  the Google Benchmark programs, optimised, no sanitizer
#   plain  the tests without a sanitizer (the allocation counter then replaces operator new)
set(TOLLGATE_NATIVE_MODE "asan" CACHE STRING "asan, tsan, fuzz, bench or plain")
set_property(CACHE TOLLGATE_NATIVE_MODE PROPERTY STRINGS asan tsan fuzz bench plain)

if(TOLLGATE_NATIVE_MODE STREQUAL "asan")
  set(TOLLGATE_SANITIZE -fsanitize=address,undefined -fno-sanitize-recover=all)
elseif(TOLLGATE_NATIVE_MODE STREQUAL "tsan")
  set(TOLLGATE_SANITIZE -fsanitize=thread)
elseif(TOLLGATE_NATIVE_MODE STREQUAL "fuzz")
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "the fuzz targets need clang (-DCMAKE_CXX_COMPILER=clang++)")
  endif()
  set(TOLLGATE_SANITIZE -fsanitize=address,undefined -fno-sanitize-recover=all)
elseif(TOLLGATE_NATIVE_MODE MATCHES "^(bench|plain)$")
  set(TOLLGATE_SANITIZE "")
else()
  message(FATAL_ERROR "unknown TOLLGATE_NATIVE_MODE ${TOLLGATE_NATIVE_MODE}")
endif()

# Everything in the tree, the module's sources included, carries the same instrumentation.
if(TOLLGATE_SANITIZE)
  add_compile_options(${TOLLGATE_SANITIZE} -fno-omit-frame-pointer -g)
  add_link_options(${TOLLGATE_SANITIZE})
endif()

# The module's sources that build on any platform (host/base/platform.h picks the lock).
add_library(tollgate_core STATIC
  ${CMAKE_SOURCE_DIR}/tracking/ip_db_storage.cpp
  ${CMAKE_SOURCE_DIR}/tracking/ip_db_rules.cpp
  ${CMAKE_SOURCE_DIR}/tracking/ip_db_trust.cpp
  ${CMAKE_SOURCE_DIR}/tracking/siege.cpp
  ${CMAKE_SOURCE_DIR}/tracking/decision.cpp
  ${CMAKE_SOURCE_DIR}/tracking/white_list.cpp
  ${CMAKE_SOURCE_DIR}/tracking/black_list.cpp
  ${CMAKE_SOURCE_DIR}/tracking/store_seam.cpp
  ${CMAKE_SOURCE_DIR}/tracking/range_set.cpp
  ${CMAKE_SOURCE_DIR}/tracking/list_file.cpp
  ${CMAKE_SOURCE_DIR}/tracking/list_sets.cpp
  ${CMAKE_SOURCE_DIR}/tracking/call_gate.cpp
  ${CMAKE_SOURCE_DIR}/tracking/shared/shared_protocol.cpp
  ${CMAKE_SOURCE_DIR}/settings/values/settings_values.cpp
  ${CMAKE_SOURCE_DIR}/settings/values/settings_table.cpp)
target_include_directories(tollgate_core PUBLIC ${CMAKE_SOURCE_DIR})
target_compile_options(tollgate_core PRIVATE ${TOLLGATE_MODULE_FLAGS})
find_package(Threads REQUIRED)
target_link_libraries(tollgate_core PUBLIC Threads::Threads)

if(TOLLGATE_NATIVE_MODE STREQUAL "bench")
  add_subdirectory(bench)
else()
  add_subdirectory(tests/native)
endif()
