# Helpers for the install rules and the packages made from them.
#
# package_contents: a target that builds every file the install rules
# install, so a build for packaging can build that and no more.
add_custom_target(package_contents)

# Where the package checks unpack the Debian packages (packaging/tests/debs).
set(PARPORT_UNPACKED_PACKAGES ${PROJECT_BINARY_DIR}/packages/root)

# parport_gzip(<source> <output>): <output> is <source> compressed as
# packages ship manual pages and changelogs (gzip -9n: the best compression,
# and no file name or time stamp inside, so that the same source gives the
# same bytes), made at build time.
function(parport_gzip source output)
  find_program(PARPORT_GZIP gzip REQUIRED)
  add_custom_command(OUTPUT ${output}
    COMMAND ${CMAKE_COMMAND} -DGZIP=${PARPORT_GZIP} -DINPUT=${source} -DOUTPUT=${output}
      -P ${PROJECT_SOURCE_DIR}/cmake/Gzip.cmake
    DEPENDS ${source} ${PROJECT_SOURCE_DIR}/cmake/Gzip.cmake
    VERBATIM)
  file(RELATIVE_PATH name ${PROJECT_BINARY_DIR} ${output})
  string(MAKE_C_IDENTIFIER "gzip_${name}" target)
  add_custom_target(${target} ALL DEPENDS ${output})
  add_dependencies(package_contents ${target})
endfunction()

# parport_install_ldconfig(<component>): after <component>'s shared libraries
# are installed, refreshes the loader's cache if they went straight into one
# of the loader's own folders (cmake/RunLdconfig.cmake).
function(parport_install_ldconfig component)
  install(CODE "set(PARPORT_LDCONFIG_LIBDIR \"${CMAKE_INSTALL_LIBDIR}\")
include(\"${PROJECT_SOURCE_DIR}/cmake/RunLdconfig.cmake\")"
    COMPONENT ${component})
endfunction()
