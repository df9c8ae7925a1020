# Norvat.dll: no C runtime, imports KERNEL32 and ADVAPI32 only, exports fixed by the .def file.
# The sources shared with the Linux library are listed in NorvatSources.cmake.
include(${CMAKE_CURRENT_LIST_DIR}/NorvatSources.cmake)
set(NORVAT_SOURCES
  ${NORVAT_SHARED_SOURCES}
  interface/module_win32.cpp
  interface/lock_win32.cpp
  interface/samples_win32.cpp
  interface/runtime_win32.cpp
  port/open_win32.cpp
  port/line_win32.cpp
  port/network_win32.cpp
  port/winsock_win32.cpp
  port/system_ports_win32.cpp
  io/overlapped_win32.cpp
  io/write_win32.cpp
  io/read_win32.cpp
  io/socket_win32.cpp
  io/status_win32.cpp
  usb/registry_win32.cpp
  interface/norvat.rc
)

add_library(Norvat SHARED ${NORVAT_SOURCES} interface/norvat.def)
set_target_properties(Norvat PROPERTIES PREFIX "" OUTPUT_NAME Norvat)
target_include_directories(Norvat PRIVATE ${CMAKE_SOURCE_DIR})
target_compile_definitions(Norvat PRIVATE NORVAT_BUILDING_DLL)
target_compile_options(Norvat PRIVATE
  $<$<COMPILE_LANGUAGE:CXX>:${NORVAT_WARNINGS} -ffreestanding -fno-exceptions -fno-rtti
  -fno-asynchronous-unwind-tables -fno-threadsafe-statics -fno-stack-protector
  -fno-tree-loop-distribute-patterns>)

# Own entry point, no start files; on 32-bit x86 the stdcall entry symbol carries its decoration.
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(_norvat_entry _NorvatDllMain@12)
else()
  set(_norvat_entry NorvatDllMain)
endif()
target_link_options(Norvat PRIVATE -nostdlib -Wl,-e,${_norvat_entry} -Wl,--enable-stdcall-fixup
  -Wl,--dynamicbase -Wl,--nxcompat)
target_link_libraries(Norvat PRIVATE kernel32 advapi32)

# Import libraries, both from the same .def: the linker writes the MinGW one
# (lib/libNorvat.dll.a) as it links; llvm-dlltool writes an MSVC-style Norvat.lib beside it.
set_target_properties(Norvat PROPERTIES IMPORT_PREFIX "lib" IMPORT_SUFFIX ".dll.a")
find_program(NORVAT_LLVM_DLLTOOL NAMES llvm-dlltool llvm-dlltool-14 REQUIRED)
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(_norvat_machine i386)
else()
  set(_norvat_machine i386:x86-64)
endif()
set(NORVAT_MSVC_IMPORT_LIB ${CMAKE_ARCHIVE_OUTPUT_DIRECTORY}/Norvat.lib)
add_custom_command(OUTPUT ${NORVAT_MSVC_IMPORT_LIB}
  COMMAND ${NORVAT_LLVM_DLLTOOL} -m ${_norvat_machine} -D Norvat.dll
          -d ${CMAKE_SOURCE_DIR}/interface/norvat.def -l ${NORVAT_MSVC_IMPORT_LIB}
  DEPENDS ${CMAKE_SOURCE_DIR}/interface/norvat.def
  COMMENT "MSVC-style import library Norvat.lib")
add_custom_target(NorvatMsvcImportLib ALL DEPENDS ${NORVAT_MSVC_IMPORT_LIB})
