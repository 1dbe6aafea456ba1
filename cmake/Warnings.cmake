# Warning level and the toolchain settings shared by every target of ours.
add_library(fwupgrade_options INTERFACE)
if(MSVC)
    target_compile_options(fwupgrade_options INTERFACE /W4 /permissive- /utf-8)
    target_compile_definitions(fwupgrade_options INTERFACE _CRT_SECURE_NO_WARNINGS)
else()
    target_compile_options(fwupgrade_options INTERFACE -Wall -Wextra)
endif()
