# cmake -DFILE=program -DRPATH=path -P set_rpath.cmake: sets an ELF program's run path in place,
# as an install step would (the new path must not be longer than the one it replaces).
file(RPATH_SET FILE "${FILE}" NEW_RPATH "${RPATH}")
