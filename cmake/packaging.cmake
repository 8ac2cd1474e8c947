# Installation and the Debian package (cpack -G DEB in the build folder).
include(GNUInstallDirs)

install(TARGETS zelm RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# Debian policy wants manual pages compressed with gzip -9n: no name, no time
# stamp, so the package builds the same every time.
set(ZELM_MAN_SOURCE ${PROJECT_SOURCE_DIR}/docs/zelm.1)
set(ZELM_MAN_GZ ${PROJECT_BINARY_DIR}/zelm.1.gz)
find_program(GZIP_PROGRAM gzip)
if(GZIP_PROGRAM)
  add_custom_command(
    OUTPUT ${ZELM_MAN_GZ}
    COMMAND ${GZIP_PROGRAM} -9nc ${ZELM_MAN_SOURCE} > ${ZELM_MAN_GZ}
    DEPENDS ${ZELM_MAN_SOURCE}
    COMMENT "Compressing the manual page")
  add_custom_target(zelm_man ALL DEPENDS ${ZELM_MAN_GZ})
  install(FILES ${ZELM_MAN_GZ} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
else()
  install(FILES ${ZELM_MAN_SOURCE} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME zelm)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "zelm maintainers <maintainers@zelm.invalid>")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "one or two channel audio recorder for ALSA")
# CPack puts the summary first and indents these lines for the control file.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
  "zelm records one or two inputs of an ALSA capture device into WAV files,
16 or 24 bits at 44.1, 48, 88.2 or 96 kHz, for a given number of seconds.
While it records it shows the time left, a level meter with held peaks and
a warning when an input clips; at the end it reports each channel's peak.")
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# dpkg-shlibdeps works out the library dependencies (libasound2, libc6, ...).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# zelm_<version>_<architecture>.deb
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES TRUE)
include(CPack)
