# Checks Tollgate.dll's tables: exactly the six exports the host looks up (the same names in the
# x86-64 build, where _DllMain@12 is an alias), and imports from Windows system libraries only
# (the C++ runtime is linked in, never imported); with FORMAT, also the file's machine.
# Usage: cmake -DOBJDUMP=<objdump> -DDLL=<Tollgate.dll> [-DFORMAT=pei-i386|pei-x86-64]
#              -P check_exports.cmake
cmake_minimum_required(VERSION 3.25)
execute_process(COMMAND ${OBJDUMP} -p ${DLL} OUTPUT_VARIABLE dump RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "${OBJDUMP} -p ${DLL} failed")
endif()
if(FORMAT AND NOT dump MATCHES "file format ${FORMAT}\n")
  string(REGEX MATCH "file format [^\n]*" found "${dump}")
  message(FATAL_ERROR "${DLL}: ${found}, expected ${FORMAT}")
endif()

# Export names: the lines "[ n] name" of the name pointer table.
string(REGEX MATCH "\\[Ordinal/Name Pointer\\] Table[^\n]*\n(([ \t]+\\[[ 0-9]+\\][^\n]*\n)*)"
       table "${dump}")
# (Brackets would keep CMake from splitting a list, so they go before the split.)
string(REGEX REPLACE "[ \t]*\\[[ 0-9]+\\][ \t]+([^ \t\n]+)\n" "\\1;" exports "${CMAKE_MATCH_1}")
list(REMOVE_ITEM exports "")
list(SORT exports)
set(expected _DllMain@12 _closedown _configure _daemon _startup event_handler)
if(NOT exports STREQUAL expected)
  message(FATAL_ERROR "exports are '${exports}', expected '${expected}'")
endif()

# Imports: every "DLL Name:" must be a Windows system library.
string(REGEX MATCHALL "DLL Name: [^\n]+" imports "${dump}")
set(system kernel32.dll user32.dll gdi32.dll comctl32.dll advapi32.dll ws2_32.dll wsock32.dll
           msvcrt.dll shell32.dll ole32.dll version.dll ucrtbase.dll)
foreach(line IN LISTS imports)
  string(REGEX REPLACE "DLL Name: " "" dll "${line}")
  string(STRIP "${dll}" dll)
  string(TOLOWER "${dll}" lower)
  if(lower MATCHES "^(libstdc|libgcc|libwinpthread)")
    message(FATAL_ERROR "imports the runtime library ${dll}")
  endif()
  if(NOT lower IN_LIST system AND NOT lower MATCHES "^api-ms-win-")
    message(FATAL_ERROR "imports ${dll}, not a Windows system library")
  endif()
endforeach()
if(NOT imports)
  message(FATAL_ERROR "no import table found")
endif()
message(STATUS "exports: ${exports}")
message(STATUS "imports: ${imports}")
