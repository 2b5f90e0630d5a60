# The export generator against small tables of its own: what it writes for classic and plain
# entries, which tables it refuses, and that an unchanged configure leaves its files alone.
# Every failed expectation is reported and fails the run.
# Usage: cmake -DMODULE=<cmake/HalvexExports.cmake> -DWORK=<scratch dir> -P ExportGenerator_test.cmake
cmake_minimum_required(VERSION 3.24)

file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}")

# Runs the generator in a CMake process of its own over the given tables (pairs of file name
# and kind), writing into ${WORK}/<case>; sets `result` and `errors` (whitespace collapsed).
function(generate case)
  set(script "cmake_minimum_required(VERSION 3.24)\ninclude(\"${MODULE}\")\n")
  set(args ${ARGN})
  while(args)
    list(POP_FRONT args table kind)
    string(APPEND script "halvex_export_table(\"${WORK}/${table}\" HX_EXPORT ${kind})\n")
  endwhile()
  string(APPEND script "halvex_write_export_files(\"${WORK}/${case}\")\n")
  file(WRITE "${WORK}/${case}.cmake" "${script}")
  execute_process(COMMAND "${CMAKE_COMMAND}" -P "${WORK}/${case}.cmake" RESULT_VARIABLE code ERROR_VARIABLE err)
  # CMake wraps long messages at spaces; the expectations match them unwrapped.
  string(REGEX REPLACE "[ \t\r\n]+" " " err "${err}")
  set(result ${code} PARENT_SCOPE)
  set(errors "${err}" PARENT_SCOPE)
endfunction()

# ---- A classic and a plain table together, with comments, blank lines and CRLF ------------
file(WRITE "${WORK}/classic.inc"
     "// comment\r\n\r\nHX_EXPORT(DWORD, BRD_Reset, (UINT64 iBoard), (iBoard))\r\n"
     "  HX_EXPORT(INT64, BRD_Count, (void), ())  \r\n")
file(WRITE "${WORK}/plain.inc" "HX_EXPORT(DWORD, HX_Version, (DWORD* pVersion), (pVersion))\n")
generate(both classic.inc CLASSIC plain.inc PLAIN)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "two good tables were refused:\n${errors}")
endif()

file(STRINGS "${WORK}/both/halvex-exports.txt" names)
if(NOT names STREQUAL "BRD_Reset;_BRD_Reset;VBBRD_Reset;BRD_Count;_BRD_Count;VBBRD_Count;HX_Version")
  message(SEND_ERROR "name list: ${names}")
endif()
file(READ "${WORK}/both/Halvex.def" def)
if(NOT def MATCHES "\nLIBRARY Halvex.dll\nEXPORTS\n  BRD_Reset\n  _BRD_Reset = BRD_Reset\n  VBBRD_Reset\n  BRD_Count\n")
  message(SEND_ERROR "the .def lacks the three forms of a classic entry:\n${def}")
endif()
if(NOT def MATCHES "\n  VBBRD_Count\n  HX_Version\n$")
  message(SEND_ERROR "the .def lacks the plain entry, or gives it more forms:\n${def}")
endif()
file(READ "${WORK}/both/halvex-aliases.ld" aliases)
if(NOT aliases MATCHES "\\*/\n_BRD_Reset = BRD_Reset;\n_BRD_Count = BRD_Count;\n$")
  message(SEND_ERROR "the aliases are not exactly the classic entries':\n${aliases}")
endif()
file(READ "${WORK}/both/halvex.map" map)
if(NOT map MATCHES "global:\n    BRD_Reset;\n    _BRD_Reset;\n    VBBRD_Reset;\n" OR NOT map MATCHES "\n    HX_Version;\n"
   OR map MATCHES "_HX_Version|VBHX_Version")
  message(SEND_ERROR "the version script does not give each entry its own forms:\n${map}")
endif()

# ---- An unchanged configure rewrites nothing; a new entry rewrites -------------------------
execute_process(COMMAND touch -d @1000000000 "${WORK}/both/Halvex.def" "${WORK}/both/halvex.map")
generate(both classic.inc CLASSIC plain.inc PLAIN)
file(TIMESTAMP "${WORK}/both/Halvex.def" stamp "%s" UTC)
if(NOT stamp EQUAL 1000000000)
  message(SEND_ERROR "an unchanged table rewrote Halvex.def")
endif()
file(APPEND "${WORK}/plain.inc" "HX_EXPORT(DWORD, HX_Status, (UINT64 iBoard), (iBoard))\n")
generate(both classic.inc CLASSIC plain.inc PLAIN)
file(TIMESTAMP "${WORK}/both/halvex.map" stamp "%s" UTC)
file(READ "${WORK}/both/halvex.map" map)
if(stamp EQUAL 1000000000 OR NOT map MATCHES "\n    HX_Status;\n")
  message(SEND_ERROR "a new entry did not reach the version script")
endif()

# ---- Tables it refuses, naming the place: <case>.inc is read after the tables in ARGN ------
function(expect_refused case pattern kind content)
  file(WRITE "${WORK}/${case}.inc" "${content}")
  generate(${case} ${ARGN} ${case}.inc ${kind})
  if(result EQUAL 0 OR NOT errors MATCHES "${pattern}")
    message(SEND_ERROR "${case}: expected a failure matching '${pattern}', got ${result}:\n${errors}")
  endif()
endfunction()
expect_refused(split "split.inc:2: not a HX_EXPORT" CLASSIC
               "HX_EXPORT(DWORD, BRD_Reset, (UINT64 iBoard), (iBoard))\nHX_EXPORT(DWORD, PIO_In8,\n  (UINT64 i), (i))\n")
expect_refused(misspelt "misspelt.inc:1: not a HX_EXPORT" CLASSIC "HX_EXPROT(DWORD, BRD_Reset, (UINT64 i), (i))\n")
expect_refused(stray "stray.inc:2: not a HX_EXPORT" CLASSIC "HX_EXPORT(DWORD, BRD_Reset, (UINT64 i), (i))\n#if 0\n")
expect_refused(twice "twice.inc:3: BRD_Reset is already exported" CLASSIC
               "HX_EXPORT(DWORD, BRD_Reset, (UINT64 i), (i))\n\nHX_EXPORT(DWORD, BRD_Reset, (UINT64 i), (i))\n")
expect_refused(clash "clash.inc:1: _BRD_Reset is already exported" PLAIN
               "HX_EXPORT(DWORD, _BRD_Reset, (UINT64 i), (i))\n" classic.inc CLASSIC)
expect_refused(noargs "noargs.inc:1: BRD_Reset lacks its argument list" CLASSIC "HX_EXPORT(DWORD, BRD_Reset, (UINT64 i))\n")
expect_refused(empty "empty.inc: no HX_EXPORT entries" CLASSIC "// nothing yet\n")
