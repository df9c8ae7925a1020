# Shared by both MinGW toolchain files; NORVAT_TRIPLE names the target.
# The posix thread model: GoogleTest needs std::mutex. The DLL links no runtime either way.
set(CMAKE_C_COMPILER ${NORVAT_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${NORVAT_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${NORVAT_TRIPLE}-windres)
set(CMAKE_DLLTOOL ${NORVAT_TRIPLE}-dlltool)
set(CMAKE_FIND_ROOT_PATH /usr/${NORVAT_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
