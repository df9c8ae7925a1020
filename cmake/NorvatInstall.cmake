# What `cmake --install` (and so the Debian packages) puts where, on Linux: the library under its
# SONAME with the development link, the header, norvat.pc and the CMake package with installed
# paths, and the tool. The release folder has its own layout (scripts/release.sh).
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

target_include_directories(Norvat INTERFACE $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
install(TARGETS Norvat EXPORT NorvatTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} NAMELINK_COMPONENT Development)
install(FILES ${CMAKE_SOURCE_DIR}/include/norvat.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(TARGETS norvat RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

set(NORVAT_VERSION ${PROJECT_VERSION})
set(NORVAT_PC_PREFIX ${CMAKE_INSTALL_PREFIX})
set(NORVAT_PC_LIBDIR ${CMAKE_INSTALL_LIBDIR})
configure_file(${CMAKE_SOURCE_DIR}/cmake/package/norvat.pc.in ${CMAKE_BINARY_DIR}/install/norvat.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/install/norvat.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# Norvat::Norvat from the exported target; any 1.x from 1.0 up to this version fits.
set(_norvat_cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/Norvat)
install(EXPORT NorvatTargets NAMESPACE Norvat:: DESTINATION ${_norvat_cmake_dir})
file(WRITE ${CMAKE_BINARY_DIR}/install/NorvatConfig.cmake
  "include(\"\${CMAKE_CURRENT_LIST_DIR}/NorvatTargets.cmake\")\n")
write_basic_package_version_file(${CMAKE_BINARY_DIR}/install/NorvatConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/install/NorvatConfig.cmake
  ${CMAKE_BINARY_DIR}/install/NorvatConfigVersion.cmake DESTINATION ${_norvat_cmake_dir})
