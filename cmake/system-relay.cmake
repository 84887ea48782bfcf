# UPDATE_SYSTEM_RELAY: the module alone, linked by name against the
# libzelrelay.so already installed, found through pkg-config's zelrelay or
# else wherever find_library looks. Sets ZELRELAY_SYSTEM_DIRS.
pkg_check_modules(ZELRELAY_SYSTEM zelrelay)
if(ZELRELAY_SYSTEM_FOUND)
  set(ZELRELAY_SYSTEM_DIRS ${ZELRELAY_SYSTEM_LIBRARY_DIRS})
else()
  find_library(ZELRELAY_SYSTEM_LIBRARY zelrelay REQUIRED)
  get_filename_component(ZELRELAY_SYSTEM_DIRS ${ZELRELAY_SYSTEM_LIBRARY} DIRECTORY)
endif()
message(STATUS "update: linking against the system's libzelrelay.so (${ZELRELAY_SYSTEM_DIRS})")
