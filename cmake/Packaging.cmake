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
# Lines within Debian's 80 columns: the package manager shows them as they are.
set(CPACK_PACKAGE_DESCRIPTION "Updates the microcontroller firmware and the programmable logic of one
unit (TX or RX) of the Kovlar QV7 signal extender over a serial port.
The firmware is built into the program. VelmoraFwWebFile writes the
file for the units' web upload instead.")
# Debian wants a contact in the form "Name <address>".
set(FWUPGRADE_PACKAGE_CONTACT "Kovlar QV7 firmware team <qv7-firmware@kovlar.example>" CACHE STRING
    "Maintainer of the packages, as Name <address>")
set(CPACK_PACKAGE_CONTACT "${FWUPGRADE_PACKAGE_CONTACT}")
set(CPACK_RESOURCE_FILE_README "${PROJECT_SOURCE_DIR}/docs/TECHNICIAN-README.txt")
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_CHECKSUM SHA256)
set(CPACK_PACKAGE_DIRECTORY "${CMAKE_BINARY_DIR}/packages")
# The same bytes from the same sources, whoever builds, where and when (see the script).
set(CPACK_POST_BUILD_SCRIPTS "${PROJECT_SOURCE_DIR}/cmake/ReproducibleArchives.cmake")

if(WIN32)
    set(CPACK_GENERATOR ZIP)
    set(CPACK_SYSTEM_NAME win64)
    set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
    # With Windows' line ends: Notepad before Windows 10 shows a file of bare line feeds as one line.
    configure_file(docs/TECHNICIAN-README.txt ${CMAKE_BINARY_DIR}/packaging/README.txt @ONLY NEWLINE_STYLE CRLF)
    install(FILES ${CMAKE_BINARY_DIR}/packaging/README.txt DESTINATION .)
    # What the technicians unpack, and nothing else: cmake/ReproducibleArchives.cmake checks every
    # zip it writes against this list (the files in the zip's top folder).
    set(CPACK_FWUPGRADE_ZIP_FILES README.txt VelmoraFwUpgrade.exe VelmoraFwWebFile.exe)
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
    set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
    set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
    set(_doc share/doc/velmora-fw-upgrade)
    install(FILES docs/TECHNICIAN-README.txt DESTINATION ${_doc} RENAME README.txt)
    install(FILES docs/copyright DESTINATION ${_doc})
    # The changelog and the manual pages go in compressed as Debian wants them: gzip -9 without
    # the name and time in the header, so every build gives the same bytes.
    set(_gz_dir ${CMAKE_BINARY_DIR}/packaging)
    set(_gz_files)
    foreach(_pair changelog:${_doc} man/VelmoraFwUpgrade.1:share/man/man1 man/VelmoraFwWebFile.1:share/man/man1)
        string(REPLACE ":" ";" _pair "${_pair}")
        list(GET _pair 0 _source)
        list(GET _pair 1 _destination)
        get_filename_component(_name ${_source} NAME)
        set(_gz ${_gz_dir}/${_name}.gz)
        add_custom_command(OUTPUT ${_gz}
            COMMAND ${CMAKE_COMMAND} -E make_directory ${_gz_dir}
            COMMAND sh -c "gzip -9nc \"$0\" >\"$1\"" ${PROJECT_SOURCE_DIR}/docs/${_source} ${_gz}
            DEPENDS ${PROJECT_SOURCE_DIR}/docs/${_source} VERBATIM)
        install(FILES ${_gz} DESTINATION ${_destination})
        list(APPEND _gz_files ${_gz})
    endforeach()
    add_custom_target(fwupgrade_package_docs ALL DEPENDS ${_gz_files})
endif()

include(CPack)
