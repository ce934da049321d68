# Install step: writes quorle.pc for the prefix being installed into and
# installs it into <libdir>/pkgconfig.
#
# Read from the install script: CMAKE_INSTALL_PREFIX; QUORLE_PC_TEMPLATE,
# QUORLE_PC_WORK_DIR (where the file is written first), QUORLE_PC_LIBDIR and
# QUORLE_PC_INCLUDEDIR (below the prefix, or absolute), QUORLE_PC_VERSION.
set(QUORLE_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
set(quorle_pc_dest "${QUORLE_PC_LIBDIR}/pkgconfig")
foreach(var QUORLE_PC_LIBDIR QUORLE_PC_INCLUDEDIR)
  if(NOT IS_ABSOLUTE "${${var}}")
    set(${var} "\${prefix}/${${var}}")
  endif()
endforeach()
if(NOT IS_ABSOLUTE "${quorle_pc_dest}")
  set(quorle_pc_dest "${CMAKE_INSTALL_PREFIX}/${quorle_pc_dest}")
endif()
configure_file("${QUORLE_PC_TEMPLATE}" "${QUORLE_PC_WORK_DIR}/quorle.pc" @ONLY)
file(INSTALL DESTINATION "${quorle_pc_dest}" TYPE FILE FILES "${QUORLE_PC_WORK_DIR}/quorle.pc")
