# Run by CPack after it has written a package and before it copies it to the packages folder and
# writes its .sha256 (CPACK_POST_BUILD_SCRIPTS). CPack 3.25 writes the ZIP and TGZ entries in the
# order the file system lists them and with the owner (uid and gid), and the zip's DOS times in
# the local time zone, of whoever builds: the same sources gave other bytes on another file
# system, for another user or in another time zone. This rewrites those two archives so that
# their bytes depend on the files alone: entries sorted by name, owner root, modes 644 or 755,
# every time SOURCE_DATE_EPOCH (or now, when it is not set), the zip's times in UTC and without
# the extra fields that carry the owner and the time again. The .deb is left as CPack writes it:
# its entries are sorted and owned by root already.
if(DEFINED ENV{SOURCE_DATE_EPOCH})
    set(_epoch $ENV{SOURCE_DATE_EPOCH})
else()
    string(TIMESTAMP _epoch "%s" UTC)
endif()

foreach(_package IN LISTS CPACK_PACKAGE_FILES)
    if(NOT _package MATCHES "\\.(zip|tar\\.gz)$")
        continue()
    endif()
    set(_dir ${CPACK_TOPLEVEL_DIRECTORY}/reproducible)
    file(REMOVE_RECURSE ${_dir})
    file(MAKE_DIRECTORY ${_dir})
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
