# Everything the build derives from the export tables, read once at configure time:
#
#   halvex_export_table(<table> <macro> CLASSIC|PLAIN)
#     Reads one table: one `<macro>(result, name, (parameters)[, (arguments)])` per line, blank
#     lines and // comments between them. CLASSIC entries are exported under three names (N, _N
#     as a second name of the same entry point, VBN as its own forwarding function) and need
#     the argument list; PLAIN entries only as N. Any other line, or a name exported twice
#     across all tables, stops the configure step. Editing a table re-runs it.
#
#   halvex_write_export_files(<dir> [ORDINALS <file>])
#     Writes, from every table read so far, into <dir>:
#       Halvex.def          the Windows module-definition file
#       halvex.map          the Linux version script
#       halvex-aliases.ld   the underscore names as linker-script assignments (Linux)
#       halvex-exports.txt  every exported name of the tables, one a line, for the export check
#     and sets HALVEX_EXPORT_DEF_FILE, HALVEX_VERSION_SCRIPT, HALVEX_EXPORT_ALIASES and
#     HALVEX_EXPORT_LIST to their paths. A file is rewritten only when its content changes, so
#     a re-configure that changes nothing relinks nothing.
#     With ORDINALS, every name of the .def gets the ordinal pinned for it in <file> (one
#     `name ordinal` a line, # comments): applications linked by ordinal keep working from one
#     release to the next. A name without a pinned ordinal, an ordinal pinned twice or a name
#     pinned twice stops the configure step, so a new export gets a new ordinal on purpose.
#     A pinned name that no table exports keeps its ordinal reserved.

include_guard(GLOBAL)

# What the tables read so far add up to, kept in global properties: HALVEX_EXPORT_NAMES (every
# exported name, in table order), HALVEX_EXPORT_DEF_LINES (the EXPORTS lines of the .def) and
# HALVEX_EXPORT_ALIASED (the names exported a second time with a leading underscore).

function(halvex_export_table table macro kind)
  if(NOT macro MATCHES "^[A-Za-z_][A-Za-z0-9_]*$")
    message(FATAL_ERROR "halvex_export_table: '${macro}' is not a macro name")
  endif()
  if(NOT kind MATCHES "^(CLASSIC|PLAIN)$")
    message(FATAL_ERROR "halvex_export_table: kind must be CLASSIC or PLAIN, not '${kind}'")
  endif()
  get_filename_component(table "${table}" ABSOLUTE)
  if(NOT EXISTS "${table}")
    message(FATAL_ERROR "halvex_export_table: ${table} does not exist")
  endif()
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${table}")

  get_property(names GLOBAL PROPERTY HALVEX_EXPORT_NAMES)
  get_property(def_lines GLOBAL PROPERTY HALVEX_EXPORT_DEF_LINES)
  get_property(aliased GLOBAL PROPERTY HALVEX_EXPORT_ALIASED)

  # result, name, then the parenthesised rest; a classic entry needs both lists (its VB function
  # forwards the arguments).
  set(space "[ \t]*")
  set(entry "^${macro}${space}\\(${space}[^,() \t][^,()]*,${space}([A-Za-z_][A-Za-z0-9_]*)${space},${space}\\((.*)\\)${space}\\)$")
  set(two_lists "\\)${space},${space}\\(")

  # Walked by hand rather than as a CMake list, which would split a line at a semicolon and
  # lose the line numbers.
  file(READ "${table}" content)
  string(REPLACE "\r" "" content "${content}")
  set(lineno 0)
  set(count 0)
  while(NOT content STREQUAL "")
    string(FIND "${content}" "\n" eol)
    if(eol EQUAL -1)
      set(line "${content}")
      set(content "")
    else()
      string(SUBSTRING "${content}" 0 ${eol} line)
      math(EXPR eol "${eol} + 1")
      string(SUBSTRING "${content}" ${eol} -1 content)
    endif()
    math(EXPR lineno "${lineno} + 1")
    string(STRIP "${line}" line)
    if(line STREQUAL "" OR line MATCHES "^//")
      continue()
    endif()
    if(NOT line MATCHES "${entry}")
      message(FATAL_ERROR "${table}:${lineno}: not a ${macro}(result, name, (parameters), (arguments)) "
                          "entry on one line:\n  ${line}")
    endif()
    set(name "${CMAKE_MATCH_1}")
    set(rest "${CMAKE_MATCH_2}")
    if(kind STREQUAL "CLASSIC")
      if(NOT rest MATCHES "${two_lists}")
        message(FATAL_ERROR "${table}:${lineno}: ${name} lacks its argument list, which its VB "
                            "function forwards:\n  ${line}")
      endif()
      set(forms ${name} _${name} VB${name})
    else()
      set(forms ${name})
    endif()
    foreach(form IN LISTS forms)
      if(form IN_LIST names)
        message(FATAL_ERROR "${table}:${lineno}: ${form} is already exported (every export "
                            "table together may name it once)")
      endif()
    endforeach()
    list(APPEND names ${forms})
    if(kind STREQUAL "CLASSIC")
      list(APPEND def_lines "${name}" "_${name} = ${name}" "VB${name}")
      list(APPEND aliased "${name}")
    else()
      list(APPEND def_lines "${name}")
    endif()
    math(EXPR count "${count} + 1")
  endwhile()
  if(count EQUAL 0)
    message(FATAL_ERROR "${table}: no ${macro} entries")
  endif()

  set_property(GLOBAL PROPERTY HALVEX_EXPORT_NAMES "${names}")
  set_property(GLOBAL PROPERTY HALVEX_EXPORT_DEF_LINES "${def_lines}")
  set_property(GLOBAL PROPERTY HALVEX_EXPORT_ALIASED "${aliased}")
endfunction()

function(_halvex_write_if_changed path content)
  if(EXISTS "${path}")
    file(READ "${path}" old)
    if(old STREQUAL content)
      return()
    endif()
  endif()
  file(WRITE "${path}" "${content}")
endfunction()

# Reads the pinned ordinals of <file> into `ordinal_<name>` variables of the caller.
function(_halvex_read_ordinals file)
  get_filename_component(file "${file}" ABSOLUTE)
  if(NOT EXISTS "${file}")
    message(FATAL_ERROR "halvex_write_export_files: ordinal file ${file} does not exist")
  endif()
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${file}")
  file(STRINGS "${file}" lines)
  set(lineno 0)
  foreach(line IN LISTS lines)
    math(EXPR lineno "${lineno} + 1")
    string(STRIP "${line}" line)
    if(line STREQUAL "" OR line MATCHES "^#")
      continue()
    endif()
    if(NOT line MATCHES "^([A-Za-z_][A-Za-z0-9_]*)[ \t]+([1-9][0-9]*)$")
      message(FATAL_ERROR "${file}:${lineno}: not a `name ordinal` line:\n  ${line}")
    endif()
    set(name "${CMAKE_MATCH_1}")
    set(ordinal "${CMAKE_MATCH_2}")
    # The PE export table numbers its entries with 16 bits.
    if(ordinal GREATER 65535)
      message(FATAL_ERROR "${file}:${lineno}: ordinal ${ordinal} of ${name} is above 65535")
    endif()
    if(DEFINED ordinal_${name})
      message(FATAL_ERROR "${file}:${lineno}: ${name} is pinned twice (it has ${ordinal_${name}})")
    endif()
    if(DEFINED owner_${ordinal})
      message(FATAL_ERROR "${file}:${lineno}: ordinal ${ordinal} of ${name} is already pinned "
                          "to ${owner_${ordinal}}; give ${name} a new one")
    endif()
    set(ordinal_${name} ${ordinal})
    set(owner_${ordinal} ${name})
    set(ordinal_${name} ${ordinal} PARENT_SCOPE)
  endforeach()
endfunction()

function(halvex_write_export_files dir)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "ORDINALS" "")
  if(arg_UNPARSED_ARGUMENTS OR (DEFINED arg_ORDINALS AND arg_ORDINALS STREQUAL ""))
    message(FATAL_ERROR "halvex_write_export_files: usage: halvex_write_export_files(<dir> [ORDINALS <file>])")
  endif()
  get_property(names GLOBAL PROPERTY HALVEX_EXPORT_NAMES)
  get_property(def_lines GLOBAL PROPERTY HALVEX_EXPORT_DEF_LINES)
  get_property(aliased GLOBAL PROPERTY HALVEX_EXPORT_ALIASED)
  if(NOT names)
    message(FATAL_ERROR "halvex_write_export_files: no export table read")
  endif()
  set(generated "Generated by cmake/HalvexExports.cmake from the export tables; edits here are lost.")

  # The .def lines are the names, one for one and in the same order.
  if(arg_ORDINALS)
    _halvex_read_ordinals("${arg_ORDINALS}")
    set(unpinned "")
    set(numbered "")
    foreach(name line IN ZIP_LISTS names def_lines)
      if(NOT DEFINED ordinal_${name})
        list(APPEND unpinned ${name})
      endif()
      list(APPEND numbered "${line} @${ordinal_${name}}")
    endforeach()
    if(unpinned)
      list(JOIN unpinned ", " unpinned)
      message(FATAL_ERROR "${arg_ORDINALS}: no ordinal pinned for ${unpinned}. Give each new "
                          "export an ordinal no name has had; never change an existing one.")
    endif()
    set(def_lines "${numbered}")
  endif()

  set(def "; ${generated}\nLIBRARY Halvex.dll\nEXPORTS\n")
  foreach(line IN LISTS def_lines)
    string(APPEND def "  ${line}\n")
  endforeach()

  # The tables' names exactly; the rest keeps what the library has always exported: the posix
  # Win32 layer's functions and the HxTest* entries (C names with a capital initial, and only
  # what the sources give default visibility), and the simulated bus's C++ API. Everything
  # else stays inside, including the standard library's template instances that its headers
  # would otherwise export.
  set(map "/* ${generated} */\n{\n  global:\n")
  foreach(name IN LISTS names)
    string(APPEND map "    ${name};\n")
  endforeach()
  string(APPEND map "    [A-Z]*;\n    extern \"C++\" {\n      halvex::sim::*;\n    };\n  local:\n    *;\n};\n")

  set(aliases "/* ${generated}\n   Each underscore name is the plain entry point under a second name. */\n")
  foreach(name IN LISTS aliased)
    string(APPEND aliases "_${name} = ${name};\n")
  endforeach()

  list(JOIN names "\n" list)

  file(MAKE_DIRECTORY "${dir}")
  _halvex_write_if_changed("${dir}/Halvex.def" "${def}")
  _halvex_write_if_changed("${dir}/halvex.map" "${map}")
  _halvex_write_if_changed("${dir}/halvex-aliases.ld" "${aliases}")
  _halvex_write_if_changed("${dir}/halvex-exports.txt" "${list}\n")
  set(HALVEX_EXPORT_DEF_FILE "${dir}/Halvex.def" PARENT_SCOPE)
  set(HALVEX_VERSION_SCRIPT "${dir}/halvex.map" PARENT_SCOPE)
  set(HALVEX_EXPORT_ALIASES "${dir}/halvex-aliases.ld" PARENT_SCOPE)
  set(HALVEX_EXPORT_LIST "${dir}/halvex-exports.txt" PARENT_SCOPE)
endfunction()
