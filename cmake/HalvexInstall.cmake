# Installing the library on Linux: the shared library with its version links, the public
# headers, hxcli, a pkg-config file and a CMake package whose imported target Halvex::halvex
# carries its include directories. The Windows SDK tree is cmake/HalvexWindowsSdk.cmake's.
if(WIN32)
  return()
endif()

include(CMakePackageConfigHelpers)

set(HALVEX_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Halvex)

install(TARGETS halvex EXPORT HalvexTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} NAMELINK_COMPONENT Development
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES include/halvex/halvex.h include/halvex/sim.h include/halvex/sim_c.h include/halvex/driver_abi.h
              include/halvex/test_entries.h
              ${PROJECT_BINARY_DIR}/include/halvex/version.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/halvex)
install(FILES include/halvex/posix/windows.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/halvex/posix)
if(TARGET hxcli)
  set_target_properties(hxcli PROPERTIES INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")
  install(TARGETS hxcli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

install(EXPORT HalvexTargets NAMESPACE Halvex:: DESTINATION ${HALVEX_CMAKE_DIR})
configure_package_config_file(cmake/HalvexConfig.cmake.in ${PROJECT_BINARY_DIR}/HalvexConfig.cmake
                              INSTALL_DESTINATION ${HALVEX_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/HalvexConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/HalvexConfig.cmake ${PROJECT_BINARY_DIR}/HalvexConfigVersion.cmake
        DESTINATION ${HALVEX_CMAKE_DIR})

# Relative to where the file is found, so an installed tree may be moved or installed with
# another --prefix.
file(RELATIVE_PATH HALVEX_PC_TO_PREFIX /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
string(REGEX REPLACE "/$" "" HALVEX_PC_TO_PREFIX "${HALVEX_PC_TO_PREFIX}")
configure_file(cmake/halvex.pc.in ${PROJECT_BINARY_DIR}/halvex.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/halvex.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

set(CPACK_GENERATOR TGZ)
set(CPACK_PACKAGE_NAME halvex)
set(CPACK_PACKAGE_VENDOR "Orvande")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Programming library of the Halvex data-acquisition boards")
set(CPACK_PACKAGE_FILE_NAME halvex-${PROJECT_VERSION}-Linux-${CMAKE_SYSTEM_PROCESSOR})
