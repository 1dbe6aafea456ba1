# Run by CPack after it has written a package and before it copies it to the packages folder and
# writes its .sha256 (CPACK_POST_BUILD_SCRIPTS). CPack 3.25 writes the ZIP and TGZ entries in the
# order the file system lists them and with the owner (uid and gid), and the zip's DOS times in
# the local time zone, of whoever builds; and the .deb's Installed-Size adds up the sizes the file
# system gives its folders (4 KiB each on ext4, a few bytes on tmpfs). The same sources gave other
# bytes on another file system, for another user or in another time zone. This rewrites the
# packages so that their bytes depend on the files alone:
# - the zip and the .tar.gz: entries sorted by name, owner root, modes 644 or 755, every time
#   SOURCE_DATE_EPOCH (or now, when it is not set), the zip's times in UTC and without the extra
#   fields that carry the owner and the time again; the zip written must hold exactly the files
#   CPACK_FWUPGRADE_ZIP_FILES names (cmake/Packaging.cmake) in its top folder, or packing fails;
# - the .deb: Installed-Size counted as dpkg-gencontrol counts it (each file in whole KiB, each
#   folder 1 KiB), and the package written again by dpkg-deb, which sorts the entries and takes its
#   times from SOURCE_DATE_EPOCH.
if(DEFINED ENV{SOURCE_DATE_EPOCH})
    set(_epoch $ENV{SOURCE_DATE_EPOCH})
else()
    string(TIMESTAMP _epoch "%s" UTC)
endif()

foreach(_package IN LISTS CPACK_PACKAGE_FILES)
    set(_dir ${CPACK_TOPLEVEL_DIRECTORY}/reproducible)
    file(REMOVE_RECURSE ${_dir})
    file(MAKE_DIRECTORY ${_dir})
    if(_package MATCHES "\\.deb$")
        execute_process(COMMAND dpkg-deb --raw-extract ${_package} ${_dir}/root COMMAND_ERROR_IS_FATAL ANY)
        execute_process(COMMAND chmod -R u=rwX,go=rX . WORKING_DIRECTORY ${_dir}/root COMMAND_ERROR_IS_FATAL ANY)
        file(GLOB_RECURSE _entries LIST_DIRECTORIES true RELATIVE ${_dir}/root ${_dir}/root/*)
        set(_kib 0)
        foreach(_entry IN LISTS _entries)
            if(_entry MATCHES "^DEBIAN(/|$)")
                continue()
            elseif(IS_DIRECTORY ${_dir}/root/${_entry})
                math(EXPR _kib "${_kib} + 1")
            else()
                file(SIZE ${_dir}/root/${_entry} _size)
                math(EXPR _kib "${_kib} + (${_size} + 1023) / 1024")
            endif()
        endforeach()
        file(READ ${_dir}/root/DEBIAN/control _control)
        string(REGEX REPLACE "Installed-Size: [0-9]+" "Installed-Size: ${_kib}" _control "${_control}")
        file(WRITE ${_dir}/root/DEBIAN/control "${_control}")
        file(REMOVE ${_package})
        execute_process(
            COMMAND ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=${_epoch}
                dpkg-deb --root-owner-group -Zgzip -z9 --build ${_dir}/root ${_package}
            OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
        file(REMOVE_RECURSE ${_dir})
        continue()
    elseif(NOT _package MATCHES "\\.(zip|tar\\.gz)$")
        continue()
    endif()
    execute_process(COMMAND ${CMAKE_COMMAND} -E tar xf ${_package} WORKING_DIRECTORY ${_dir}
        COMMAND_ERROR_IS_FATAL ANY)
    execute_process(COMMAND chmod -R u=rwX,go=rX . WORKING_DIRECTORY ${_dir} COMMAND_ERROR_IS_FATAL ANY)
    file(REMOVE ${_package})
    if(_package MATCHES "\\.zip$")
        find_program(_zip zip)
        if(NOT _zip)
            message(FATAL_ERROR "The release zip is written with zip (Debian package zip): install it")
        endif()
        # Files only, sorted (GLOB sorts by bytes); zip makes the folders from their names.
        file(GLOB_RECURSE _files LIST_DIRECTORIES false RELATIVE ${_dir} ${_dir}/*)
        execute_process(COMMAND touch -h -d @${_epoch} ${_files} WORKING_DIRECTORY ${_dir}
            COMMAND_ERROR_IS_FATAL ANY)
        execute_process(COMMAND ${CMAKE_COMMAND} -E env TZ=UTC ${_zip} -q -X -D ${_package} ${_files}
            WORKING_DIRECTORY ${_dir} COMMAND_ERROR_IS_FATAL ANY)
        # The zip as written holds the files of CPACK_FWUPGRADE_ZIP_FILES in its top folder, no more.
        execute_process(COMMAND ${CMAKE_COMMAND} -E tar tf ${_package} OUTPUT_VARIABLE _listed
            OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
        string(REPLACE "\n" ";" _listed "${_listed}")
        get_filename_component(_folder ${_package} NAME_WLE)
        list(TRANSFORM CPACK_FWUPGRADE_ZIP_FILES PREPEND ${_folder}/ OUTPUT_VARIABLE _expected)
        list(SORT _expected)
        list(SORT _listed)
        if(NOT _listed STREQUAL _expected)
            list(JOIN _listed "\n  " _listed)
            list(JOIN _expected "\n  " _expected)
            file(REMOVE ${_package}) # CPack would still copy it and write its .sha256
            message(FATAL_ERROR "${_package} holds\n  ${_listed}\nnot exactly\n  ${_expected}")
        endif()
    else()
        file(GLOB _top RELATIVE ${_dir} ${_dir}/*)
        execute_process(
            COMMAND tar --create --format=gnu --sort=name --owner=root:0 --group=root:0
                --mtime=@${_epoch} --file=- ${_top}
            COMMAND gzip -9n
            OUTPUT_FILE ${_package} WORKING_DIRECTORY ${_dir} COMMAND_ERROR_IS_FATAL ANY)
    endif()
    file(REMOVE_RECURSE ${_dir})
endforeach()
