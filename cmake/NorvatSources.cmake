# The library's sources that both platforms build: the exports, the handles, the list of ports and all logic
# that is no device call. Each platform adds its <name>_<platform>.cpp files beside these.
set(NORVAT_SHARED_SOURCES
  interface/exports.cpp
  interface/handles.cpp
  interface/listing.cpp
  interface/ports.cpp
  port/name.cpp
  port/network.cpp
  io/write.cpp
  io/read.cpp
  io/status.cpp
  usb/link.cpp
  usb/device_id.cpp
  usb/printers.cpp
)
