# Warning level and the toolchain settings shared by every target of ours.
if(MSVC)
    # The static runtime (/MT), for the same reason as the static link below.
    set(CMAKE_MSVC_RUNTIME_LIBRARY "MultiThreaded$<$<CONFIG:Debug>:Debug>")
endif()
add_library(fwupgrade_options INTERFACE)
if(MSVC)
    target_compile_options(fwupgrade_options INTERFACE /W4 /permissive- /utf-8)
    target_compile_definitions(fwupgrade_options INTERFACE _CRT_SECURE_NO_WARNINGS)
else()
    target_compile_options(fwupgrade_options INTERFACE -Wall -Wextra)
endif()

# Windows executables run on a bare technician's PC: link the C and C++ runtimes statically so
# that no runtime DLL has to be installed. The reply accumulators (about 1 MB each) are stack
# locals, more than the default 1 MiB stack holds, so every program reserves 2 MiB.
if(WIN32)
    if(MSVC)
        target_link_options(fwupgrade_options INTERFACE /STACK:2097152)
    else()
        target_link_options(fwupgrade_options INTERFACE -static -Wl,--stack,2097152)
    endif()
endif()

# Release builds name no folder of the machine that built them: __FILE__ and any debug data give
# the sources relative to the project and the generated ones relative to "build", so two clones
# in different folders build the same bytes.
if(NOT MSVC)
    add_compile_options("$<$<CONFIG:Release>:-ffile-prefix-map=${PROJECT_SOURCE_DIR}=.>"
        "$<$<CONFIG:Release>:-ffile-prefix-map=${PROJECT_BINARY_DIR}=build>")
endif()
