# The Windows build: Tollgate.dll, the stand-in host and the test programs, run under Wine.
enable_language(RC)

# Everything is linked statically so that the programs import Windows system DLLs only.
set(TOLLGATE_STATIC_LINK -static -static-libgcc -static-libstdc++)

# The module's objects: linked into Tollgate.dll, and into the unit tests that drive the
# module's procedures directly.
add_library(tollgate_objs OBJECT)
target_compile_options(tollgate_objs PRIVATE ${TOLLGATE_MODULE_FLAGS})
target_include_directories(tollgate_objs PUBLIC ${CMAKE_SOURCE_DIR})
target_compile_definitions(tollgate_objs PUBLIC WIN32_LEAN_AND_MEAN _WIN32_WINNT=0x0501)
add_subdirectory(host)
add_subdirectory(tracking)
add_subdirectory(settings)
add_subdirectory(ui)

# A Redis client for the tests to look into the shared store beside the module's own: hiredis
# from Debian's redis source package, built statically for each tree by scripts/setup.sh. The
# module speaks to the store itself (tracking/shared/) and links none of it.
set(TOLLGATE_HIREDIS_ROOT /usr/local/lib/tollgate-hiredis CACHE PATH "hiredis' Windows builds")
add_library(hiredis STATIC IMPORTED)
set_target_properties(hiredis PROPERTIES
  IMPORTED_LOCATION ${TOLLGATE_HIREDIS_ROOT}/${CMAKE_SYSTEM_PROCESSOR}/libhiredis.a
  INTERFACE_INCLUDE_DIRECTORIES ${TOLLGATE_HIREDIS_ROOT}/include)

# What the module's objects link with.
set(TOLLGATE_SYSTEM_LIBS ws2_32 user32 kernel32)

# x86-64 has no stdcall decoration: its definition file names DllMain's export as an alias.
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(TOLLGATE_DEF host/Tollgate-x86_64.def)
else()
  set(TOLLGATE_DEF host/Tollgate.def)
endif()
add_library(Tollgate SHARED $<TARGET_OBJECTS:tollgate_objs> ${TOLLGATE_DEF} ui/tollgate.rc)
set_target_properties(Tollgate PROPERTIES PREFIX "" OUTPUT_NAME Tollgate)
target_include_directories(Tollgate PRIVATE ${CMAKE_SOURCE_DIR})
target_link_options(Tollgate PRIVATE ${TOLLGATE_STATIC_LINK} -Wl,--enable-stdcall-fixup)
target_link_libraries(Tollgate PRIVATE ${TOLLGATE_SYSTEM_LIBS})

# GoogleTest from Debian's source package, built for the target.
set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
include(GoogleTest)

# tollgate_test(name SOURCES... [UNIT]): a GoogleTest program; UNIT links the module's objects.
function(tollgate_test name)
  cmake_parse_arguments(T "UNIT" "" "SOURCES;LIBS" ${ARGN})
  if(T_UNIT)
    add_executable(${name} ${T_SOURCES} $<TARGET_OBJECTS:tollgate_objs>)
  else()
    add_executable(${name} ${T_SOURCES})
  endif()
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR})
  target_compile_definitions(${name} PRIVATE WIN32_LEAN_AND_MEAN _WIN32_WINNT=0x0501)
  target_compile_options(${name} PRIVATE ${TOLLGATE_WARNINGS})
  target_link_options(${name} PRIVATE ${TOLLGATE_STATIC_LINK})
  target_link_libraries(${name} PRIVATE ${T_LIBS} gtest gtest_main ${TOLLGATE_SYSTEM_LIBS})
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60 NO_PRETTY_VALUES
                       PROPERTIES TIMEOUT 120)
endfunction()

add_subdirectory(mailhost)
add_subdirectory(tests)
add_subdirectory(bench)
