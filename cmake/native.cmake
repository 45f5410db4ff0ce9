# The native build (Linux): the table, the white list and the entry parsing, for sanitizers,
# fuzzing and benchmarks.
message(STATUS "native build: nothing to build yet")
