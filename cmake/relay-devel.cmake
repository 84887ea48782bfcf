# What a C program needs to build against the local relay: the library's
# header and a pkg-config file, zelrelay.pc.
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}" OR IS_ABSOLUTE "${CMAKE_INSTALL_INCLUDEDIR}")
  message(FATAL_ERROR "zelrelay.pc needs CMAKE_INSTALL_LIBDIR and CMAKE_INSTALL_INCLUDEDIR relative to the prefix")
endif()
file(RELATIVE_PATH ZELRELAY_PC_TO_PREFIX /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
string(REGEX REPLACE "/$" "" ZELRELAY_PC_TO_PREFIX ${ZELRELAY_PC_TO_PREFIX})
configure_file(${CMAKE_CURRENT_LIST_DIR}/zelrelay.pc.in ${PROJECT_BINARY_DIR}/zelrelay.pc @ONLY)
install(FILES ${ZELRELAY_HEADER_DIR}/zelrelay.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${PROJECT_BINARY_DIR}/zelrelay.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
