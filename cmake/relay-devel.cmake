# What a C program needs to build against the local relay: the library's
# header and a pkg-config file, zelrelay.pc.
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}" OR IS_ABSOLUTE "${CMAKE_INSTALL_INCLUDEDIR}")
  message(FATAL_ERROR "zelrelay.pc needs CMAKE_INSTALL_LIBDIR and CMAKE_INSTALL_INCLUDEDIR relative to the prefix")
endif()
file(RELATIVE_PATH ZELRELAY_PC_TO_PREFIX /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
string(REGEX REPLACE "/$" "" ZELRELAY_PC_TO_PREFIX ${ZELRELAY_PC_TO_PREFIX})
configure_file(${CMAKE_CURRENT_LIST_DIR}/zelrelay.pc.in ${PROJECT_BINARY_DIR}/zelrelay.pc @ONLY)

# The installed header names the local relay's statuses too, made from their
# one definition; the module and the relay's own build do without them.
file(STRINGS ${PROJECT_SOURCE_DIR}/zelrelay/base/statuses.def ZELRELAY_STATUS_LINES REGEX "^STATUS\\(")
set(ZELRELAY_STATUS_ENUM "/* The local relay's statuses (GetStatusMessage gives their messages); an\n")
string(APPEND ZELRELAY_STATUS_ENUM "   upstream's HTTP answer N is ZELRELAY_STATUS_HTTP - N. */\nenum {\n")
foreach(line ${ZELRELAY_STATUS_LINES})
  string(REGEX REPLACE "^STATUS\\(([A-Z_]+), (-?[0-9]+), .*$" "  ZELRELAY_STATUS_\\1 = \\2,\n" entry "${line}")
  string(APPEND ZELRELAY_STATUS_ENUM "${entry}")
endforeach()
string(APPEND ZELRELAY_STATUS_ENUM "  ZELRELAY_STATUS_HTTP = -1000\n};\n\n")
file(READ ${ZELRELAY_HEADER_DIR}/zelrelay.h ZELRELAY_HEADER)
string(REPLACE "enum { ZELRELAY_MESSAGE_CHARS = 64 };\n"
  "enum { ZELRELAY_MESSAGE_CHARS = 64 };\n\n${ZELRELAY_STATUS_ENUM}" ZELRELAY_HEADER "${ZELRELAY_HEADER}")
file(CONFIGURE OUTPUT ${PROJECT_BINARY_DIR}/include/zelrelay.h CONTENT "${ZELRELAY_HEADER}" @ONLY)
set_property(DIRECTORY ${PROJECT_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
  ${PROJECT_SOURCE_DIR}/zelrelay/base/statuses.def ${ZELRELAY_HEADER_DIR}/zelrelay.h)
install(FILES ${PROJECT_BINARY_DIR}/include/zelrelay.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${PROJECT_BINARY_DIR}/zelrelay.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
