# The service unit, the documents, and a Debian package built with
# `cpack -G DEB` from a build directory.
include(GNUInstallDirs)

# Written at install time, when the prefix is known (cpack installs under /usr).
install(CODE "
  set(RUDAZ_BINDIR \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
  configure_file(\"${PROJECT_SOURCE_DIR}/packaging/rudazodudad.service\"
                 \"${PROJECT_BINARY_DIR}/packaging/rudazodudad.service\" @ONLY)
")
# Under /usr, as Debian installs units of packages (not /etc, which is the administrator's).
install(FILES ${PROJECT_BINARY_DIR}/packaging/rudazodudad.service DESTINATION lib/systemd/system)
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/CHANGELOG.md
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/rudazodudad)

set(CPACK_PACKAGE_NAME rudazodudad)
set(CPACK_PACKAGE_VENDOR "Pelorand")
set(CPACK_PACKAGE_CONTACT "Pelorand <support@pelorand.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Multi-channel audio logger for broadcasters")
set(CPACK_PACKAGE_DESCRIPTION
    "Records sound-card inputs (ALSA, JACK, PulseAudio/PipeWire) and Internet radio streams around the clock into hourly MP3, Ogg Vorbis or WMA files with a catalogue per channel, deletes old recordings by age or free space, and serves a week calendar of the recordings on a built-in web server.")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${RUDAZ_BUILD_NUMBER})
# Libraries are found by dpkg-shlibdeps; the encoders are programs it cannot see.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "lame, vorbis-tools, adduser")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "pulseaudio-utils, xdg-utils")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/packaging/postinst
    ${PROJECT_SOURCE_DIR}/packaging/prerm
    ${PROJECT_SOURCE_DIR}/packaging/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_GENERATOR DEB)
include(CPack)
