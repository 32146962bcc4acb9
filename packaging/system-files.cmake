# Run by CPack between staging the installation and building the package: the unit and the
# logrotate snippet go where systemd and logrotate look for them, outside the install prefix.
set(root "${CPACK_TEMPORARY_INSTALL_DIRECTORY}")
set(prefix "${root}${CPACK_PACKAGING_INSTALL_PREFIX}")
if(NOT EXISTS "${prefix}/lib/systemd/system/plotspool.service")
  message(FATAL_ERROR "plotspool.service not staged below ${prefix}")
endif()
file(MAKE_DIRECTORY "${root}/lib/systemd/system" "${root}/etc/logrotate.d")
file(RENAME "${prefix}/lib/systemd/system/plotspool.service"
     "${root}/lib/systemd/system/plotspool.service")
file(RENAME "${prefix}/share/logrotate/plotspool" "${root}/etc/logrotate.d/plotspool")
file(REMOVE_RECURSE "${prefix}/lib" "${prefix}/share")
