# The Debian package (`make package`, or cpack in the build folder): the
# install tree under /usr. Its dependencies are read from the binaries by
# dpkg-shlibdeps, so that they name the Debian runtime packages of the
# libraries the module and the programs load (gRPC, protobuf, APR, APR-util,
# libsoxr, ICU, and espeak-ng for the local speech service).
set(CPACK_GENERATOR "DEB")
set(CPACK_PACKAGE_NAME "vexora")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_CONTACT "vexora maintainers <vexora@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "speech synthesizer plug-in module for MRCP servers, with a TTS gRPC client")
set(CPACK_PACKAGE_DESCRIPTION
    "The vexora module turns SPEAK requests (text, SSML, URI lists) into audio through a\n"
    "text-to-speech gRPC service, with a waveform cache, JSON records and metrics.\n"
    "Also the vexora program, which drives the module in a small host, and\n"
    "vexora-tts-server, a local speech service for tests.")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_DEBIAN_FILE_NAME "DEB-DEFAULT")
set(CPACK_DEBIAN_PACKAGE_SECTION "sound")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The package carries no debugging information; the build tree keeps it.
set(CPACK_STRIP_FILES ON)
# The package's own libraries: dpkg-shlibdeps looks for them here instead of
# in the installed packages.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS
    "${CMAKE_BINARY_DIR}/proto" "${CMAKE_BINARY_DIR}/host")
# The local speech service reads its voices from espeak-ng's data.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "espeak-ng-data")
include(CPack)
