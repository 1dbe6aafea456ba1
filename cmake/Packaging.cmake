# Release packages (CPack). The Windows build gives a zip to hand to technicians: the two
# executables, statically linked, and a short README, in one folder. The Linux build gives a
# .tar.gz and a .deb with the same programs.
#
#   cmake --preset mingw   && cmake --build --preset mingw   && cpack --preset windows
#   cmake --preset release && cmake --build --preset release && cpack --preset linux
set(CPACK_PACKAGE_NAME "VelmoraFwUpgrade")
set(CPACK_PACKAGE_VENDOR "Kovlar")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_DESCRIPTION
    "Updates the microcontroller firmware and the programmable logic of one unit (TX or RX) of the \
Kovlar QV7 signal extender over a serial port. The firmware is built into the program.")
set(CPACK_PACKAGE_CONTACT "Kovlar QV7 firmware team")
set(CPACK_RESOURCE_FILE_README "${PROJECT_SOURCE_DIR}/docs/TECHNICIAN-README.txt")
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_CHECKSUM SHA256)
set(CPACK_PACKAGE_DIRECTORY "${CMAKE_BINARY_DIR}/packages")

if(WIN32)
    set(CPACK_GENERATOR ZIP)
    set(CPACK_SYSTEM_NAME win64)
    set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
    install(FILES docs/TECHNICIAN-README.txt DESTINATION . RENAME README.txt)
else()
    set(CPACK_GENERATOR TGZ DEB)
    set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
    set(CPACK_DEBIAN_PACKAGE_NAME velmora-fw-upgrade)
    set(CPACK_DEBIAN_PACKAGE_SECTION utils)
    find_program(FWUPGRADE_DPKG_SHLIBDEPS dpkg-shlibdeps)
    if(FWUPGRADE_DPKG_SHLIBDEPS)
        set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
    else()
        set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libstdc++6, libgcc-s1")
    endif()
    install(FILES docs/TECHNICIAN-README.txt DESTINATION share/doc/velmora-fw-upgrade RENAME README.txt)
endif()

include(CPack)
