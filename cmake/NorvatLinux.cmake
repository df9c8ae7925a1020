# libNorvat.so (SONAME libNorvat.so.1): the ten exports and nothing else, needing only libc and
# libudev. The C++ is kept to what needs no C++ runtime, so the linker drops libstdc++ and
# libgcc_s (--as-needed), and a test reads the result back.
include(${CMAKE_CURRENT_LIST_DIR}/NorvatSources.cmake)
find_package(PkgConfig REQUIRED)
pkg_check_modules(NORVAT_UDEV REQUIRED IMPORTED_TARGET libudev)

add_library(Norvat SHARED
  ${NORVAT_SHARED_SOURCES}
  interface/module_linux.cpp
  interface/lock_linux.cpp
  port/open_linux.cpp
  port/line_linux.cpp
  port/termios2_linux.cpp
  io/write_linux.cpp
  io/read_linux.cpp
  io/socket_linux.cpp
  port/network_linux.cpp
  usb/udev_linux.cpp
  usb/device_id.cpp
)
set_target_properties(Norvat PROPERTIES
  OUTPUT_NAME Norvat
  VERSION ${PROJECT_VERSION}
  SOVERSION ${PROJECT_VERSION_MAJOR}
  CXX_VISIBILITY_PRESET hidden
  VISIBILITY_INLINES_HIDDEN ON)
target_include_directories(Norvat PRIVATE ${CMAKE_SOURCE_DIR})
# No "GNU unique" symbols: glibc never unloads a library that has them, and dlclose must close
# an open port.
target_compile_options(Norvat PRIVATE ${NORVAT_WARNINGS} -fno-exceptions -fno-rtti
  -fno-threadsafe-statics -fno-gnu-unique)
target_link_options(Norvat PRIVATE
  -Wl,--version-script=${CMAKE_SOURCE_DIR}/interface/norvat.map
  -Wl,--as-needed -Wl,-z,defs -Wl,-z,now -Wl,-z,relro)
set_property(TARGET Norvat APPEND PROPERTY LINK_DEPENDS ${CMAKE_SOURCE_DIR}/interface/norvat.map)
target_link_libraries(Norvat PRIVATE PkgConfig::NORVAT_UDEV)
