# The export generator against small tables of its own: what it writes for classic and plain
# entries, which tables it refuses, and that an unchanged configure leaves its files alone.
# Every failed expectation is reported and fails the run.
# Also the pinned ordinals: each .def line gets its own, and a missing, shared or doubly pinned
# ordinal stops the configure step.
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
  # A caller that sets `pinned` has the files written with the ordinals of that file.
  if(DEFINED pinned)
    string(APPEND script "halvex_write_export_files(\"${WORK}/${case}\" ORDINALS \"${pinned}\")\n")
  else()
    string(APPEND script "halvex_write_export_files(\"${WORK}/${case}\")\n")
  endif()
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

# ---- Pinned ordinals -------------------------------------------------------------------------
# Writes <case>-ordinals.txt and generates <case> from the tables in ARGN with it.
function(generate_pinned case ordinals)
  file(WRITE "${WORK}/${case}-ordinals.txt" "${ordinals}")
  set(pinned "${WORK}/${case}-ordinals.txt")
  generate(${case} ${ARGN})
  set(result ${result} PARENT_SCOPE)
  set(errors "${errors}" PARENT_SCOPE)
endfunction()

# In any order, with gaps, comments and a name no table exports any more (its ordinal stays
# taken): every line of the .def carries its own name's ordinal, the other files are unchanged.
set(complete "# pinned\nHX_Version 20\n\nBRD_Reset 1\n_BRD_Reset\t2\nVBBRD_Reset 3\nBRD_Retired 4\n"
             "  BRD_Count 10  \n_BRD_Count 11\nVBBRD_Count 12\nHX_Status 21\n")
string(CONCAT complete ${complete})
generate_pinned(pinned "${complete}" classic.inc CLASSIC plain.inc PLAIN)
if(NOT result EQUAL 0)
  message(SEND_ERROR "a complete ordinal file was refused:\n${errors}")
endif()
file(READ "${WORK}/pinned/Halvex.def" def)
set(expected "\nEXPORTS\n  BRD_Reset @1\n  _BRD_Reset = BRD_Reset @2\n  VBBRD_Reset @3\n  BRD_Count @10\n"
             "  _BRD_Count = BRD_Count @11\n  VBBRD_Count @12\n  HX_Version @20\n  HX_Status @21\n$")
string(CONCAT expected ${expected})
if(NOT def MATCHES "${expected}")
  message(SEND_ERROR "the .def does not give each name its pinned ordinal:\n${def}")
endif()
file(READ "${WORK}/both/halvex.map" unpinned_map)
file(READ "${WORK}/pinned/halvex.map" map)
file(READ "${WORK}/both/halvex-exports.txt" unpinned_list)
file(READ "${WORK}/pinned/halvex-exports.txt" list)
if(NOT map STREQUAL unpinned_map OR NOT list STREQUAL unpinned_list)
  message(SEND_ERROR "pinned ordinals changed the version script or the name list")
endif()

# Ordinal files it refuses, naming the name or the place.
function(expect_pinned_refused case pattern ordinals)
  generate_pinned(${case} "${ordinals}" classic.inc CLASSIC plain.inc PLAIN)
  if(result EQUAL 0 OR NOT errors MATCHES "${pattern}")
    message(SEND_ERROR "${case}: expected a failure matching '${pattern}', got ${result}:\n${errors}")
  endif()
endfunction()
string(REPLACE "HX_Status 21\n" "" missing "${complete}")
string(REPLACE "_BRD_Count 11\n" "" missing "${missing}")
expect_pinned_refused(missing "no ordinal pinned for _BRD_Count, HX_Status\\. Give each new export" "${missing}")
string(REPLACE "VBBRD_Count 12" "VBBRD_Count 2" shared "${complete}")
expect_pinned_refused(shared "shared-ordinals.txt:10: ordinal 2 of VBBRD_Count is already pinned to _BRD_Reset"
                      "${shared}")
expect_pinned_refused(twice-pinned "twice-pinned-ordinals.txt:12: BRD_Reset is pinned twice"
                      "${complete}BRD_Reset 5\n")
foreach(bad "BRD_Reset" "BRD_Reset @1" "BRD_Reset 0" "BRD_Reset 01" "BRD_Reset 1 2" "1 BRD_Reset")
  string(MAKE_C_IDENTIFIER "malformed ${bad}" case)
  expect_pinned_refused(${case} "${case}-ordinals.txt:12: not a `name ordinal` line" "${complete}${bad}\n")
endforeach()
expect_pinned_refused(too-big "too-big-ordinals.txt:12: ordinal 65536 of BRD_Spare is above 65535"
                      "${complete}BRD_Spare 65536\n")
