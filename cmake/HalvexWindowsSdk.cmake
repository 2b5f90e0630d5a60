# The Windows SDK, included by the top CMakeLists.txt once the halvex target exists:
#   - a version resource in Halvex.dll;
#   - the DLL split at link time into a stripped Halvex.dll and Halvex.dll.debug beside it
#     (found by debuggers through its .gnu_debuglink), plus Halvex.lib, an import library for
#     MSVC, made from the .def with its pinned ordinals;
#   - `cmake --install` rules for the SDK tree (bin, lib, include/halvex) and `cpack -G ZIP`.
include_guard(GLOBAL)

enable_language(RC)
configure_file(${PROJECT_SOURCE_DIR}/src/Halvex.rc.in ${PROJECT_BINARY_DIR}/Halvex.rc @ONLY)
target_sources(halvex PRIVATE ${PROJECT_BINARY_DIR}/Halvex.rc)
set_property(SOURCE ${PROJECT_BINARY_DIR}/Halvex.rc APPEND PROPERTY COMPILE_DEFINITIONS
             $<$<CONFIG:Debug>:HALVEX_DEBUG_BUILD>)

# Release builds carry debug information too: it goes into Halvex.dll.debug, not the DLL.
target_compile_options(halvex_objects PRIVATE $<$<CONFIG:Release,MinSizeRel>:-g>)
target_compile_options(halvex_entry PRIVATE $<$<CONFIG:Release,MinSizeRel>:-g>)

if(NOT CMAKE_OBJCOPY)
  find_program(CMAKE_OBJCOPY NAMES x86_64-w64-mingw32-objcopy REQUIRED)
endif()
if(NOT CMAKE_DLLTOOL)
  find_program(CMAKE_DLLTOOL NAMES x86_64-w64-mingw32-dlltool REQUIRED)
endif()

# Done as part of the link rather than at install time, so every way of installing the DLL, and
# the tests that load it from the build tree, get the same stripped file. The debug link is
# the bare file name: debuggers look for it beside the DLL.
add_custom_command(TARGET halvex POST_BUILD
  COMMAND ${CMAKE_OBJCOPY} --only-keep-debug $<TARGET_FILE_NAME:halvex> $<TARGET_FILE_NAME:halvex>.debug
  COMMAND ${CMAKE_OBJCOPY} --strip-debug --add-gnu-debuglink=$<TARGET_FILE_NAME:halvex>.debug $<TARGET_FILE_NAME:halvex>
  COMMAND ${CMAKE_DLLTOOL} -d ${HALVEX_EXPORT_DEF_FILE} -D $<TARGET_FILE_NAME:halvex> -l Halvex.lib
  WORKING_DIRECTORY $<TARGET_FILE_DIR:halvex>
  VERBATIM)

# The SDK tree. Only the public header and its version: the simulator's headers belong to the
# simulated-board builds, and windows.h here is the system's, not the one of the Linux layer.
install(FILES $<TARGET_FILE:halvex> $<TARGET_FILE_DIR:halvex>/Halvex.dll.debug DESTINATION bin)
install(FILES $<TARGET_LINKER_FILE:halvex> $<TARGET_FILE_DIR:halvex>/Halvex.lib ${HALVEX_EXPORT_DEF_FILE}
        DESTINATION lib)
install(FILES ${PROJECT_SOURCE_DIR}/include/halvex/halvex.h ${PROJECT_BINARY_DIR}/include/halvex/version.h
        DESTINATION include/halvex)

set(CPACK_PACKAGE_NAME Halvex)
set(CPACK_PACKAGE_VENDOR Orvande)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Halvex data-acquisition board library: SDK for 64-bit Windows")
set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_FILE_NAME Halvex-${PROJECT_VERSION}-win64)

if(HALVEX_TESTS)
  add_subdirectory(tests/sdk)
endif()
