# The library's sources that both platforms build: the exports, the session state and all logic
# that is no device call. Each platform adds its <name>_<platform>.cpp files beside these.
set(NORVAT_SHARED_SOURCES
  interface/session.cpp
  interface/exports.cpp
  port/port.cpp
  port/name.cpp
  port/network.cpp
  io/write.cpp
  io/read.cpp
  usb/link.cpp
  usb/listing.cpp
)
