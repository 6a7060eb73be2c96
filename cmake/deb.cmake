# The Debian package (make deb): CPack packs what `cmake --install` installs,
# under /usr. Its dependencies on libraries are computed from the program by
# dpkg-shlibdeps, never written here: a library the program stops linking
# leaves the list by itself. What no library shows is named here: a font
# with Chinese glyphs for the windows' texts, and a sound server, without
# which there is nothing to record.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME sonaret)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "The Sonaret developers <developers@sonaret.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "small audio recorder: what the computer plays, or a microphone, to MP3")
set(CPACK_PACKAGE_DESCRIPTION
    "Sonaret records what an output device plays (its loopback), or a
microphone, and writes each recording as an MP3 file named after the
moment it started. A scrolling trace shows the level of the live sound.
It follows the system's default devices, waits for a sound server that
restarts, and keeps eight seconds of sound in memory while a slow disk
catches up.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE https://sonaret.example)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "fonts-wqy-microhei | fonts-noto-cjk")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "pulseaudio | pipewire-pulse")
include(CPack)
