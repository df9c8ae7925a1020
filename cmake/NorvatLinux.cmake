# libNorvat.so (SONAME libNorvat.so.1): the ten exports and the handle functions of norvat.h,
# needing libc alone (libudev.so.1 is loaded at run time, where it is installed). The C++ is kept
# to what needs no C++ runtime, so the linker drops libstdc++ and libgcc_s (--as-needed), and a
# test reads the result back.
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
  io/status_linux.cpp
  port/network_linux.cpp
  port/system_ports_linux.cpp
  usb/udev_linux.cpp
  usb/libudev_linux.cpp
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
# libudev's header only: the library loads libudev.so.1 at run time (usb/libudev_linux.cpp).
target_include_directories(Norvat PRIVATE ${NORVAT_UDEV_INCLUDE_DIRS})
