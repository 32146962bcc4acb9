# Installation layout and the Debian package.
#
# The service derives its settings file and log from its own path, so it lives in a directory of
# its own: /opt/plotspool/plotspool with plotspool.ini and plotspool.log beside it (written by the
# service's user), the sample-plot tool in bin/, documentation in doc/. A plain `cmake --install`
# keeps everything below the prefix, the systemd unit and the logrotate snippet included; the
# Debian package moves those two to /lib/systemd/system and /etc/logrotate.d.

# Also for build trees configured before these rules existed, which hold CMake's /usr/local.
if(CMAKE_INSTALL_PREFIX_INITIALIZED_TO_DEFAULT
   OR (NOT PLOTSPOOL_PREFIX_DEFAULTED AND CMAKE_INSTALL_PREFIX STREQUAL "/usr/local"))
  set(CMAKE_INSTALL_PREFIX /opt/plotspool CACHE PATH "Installation directory" FORCE)
endif()
set(PLOTSPOOL_PREFIX_DEFAULTED ON CACHE INTERNAL "the prefix default has been applied")

install(TARGETS plotspool RUNTIME DESTINATION .)
install(TARGETS plotspool-sample RUNTIME DESTINATION bin)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/plotspool.service DESTINATION lib/systemd/system)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/plotspool.logrotate DESTINATION share/logrotate
        RENAME plotspool)
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/docs/operations.md
        DESTINATION doc)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME plotspool)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "plotspool maintainers <root@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "unattended hot-folder plot spooler")
set(CPACK_PACKAGE_DESCRIPTION
    "Prints, files and hands on raster plots (TIFF, or ZIP archives holding one) that other \
machines drop into a transfer tree with one directory per printer.")
set(CPACK_PACKAGING_INSTALL_PREFIX /opt/plotspool)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The shared libraries (libtiff6, libzip4, libcups2, zlib1g, the C and C++ runtimes) come from
# dpkg-shlibdeps; the maintainer scripts need useradd.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "passwd")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "cups-daemon, logrotate")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${CMAKE_CURRENT_LIST_DIR}/debian/postinst ${CMAKE_CURRENT_LIST_DIR}/debian/prerm
    ${CMAKE_CURRENT_LIST_DIR}/debian/postrm ${CMAKE_CURRENT_LIST_DIR}/debian/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# Moves the unit and the logrotate snippet from below the prefix to where the system looks.
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/system-files.cmake)

include(CPack)
