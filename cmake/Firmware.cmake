# The embedded payload. Two host programs take part: make_standin_firmware writes the stand-in
# firmware texts (unless FWUPGRADE_FIRMWARE_DIR names the real ones) and embed_firmware turns the
# texts into the BinImage module. Both must run on the build machine, so a cross build compiles
# them separately with the host compiler.
set(_fw_names M627184_MCU_61_V1_03.hex M627184_TX_XC7A15_V1_03.mcs M627184_RX_XC7A15_V1_03.mcs)

if(CMAKE_CROSSCOMPILING)
    include(ExternalProject)
    set(_host_dir ${CMAKE_BINARY_DIR}/host_tools)
    ExternalProject_Add(fwupgrade_host_tools
        SOURCE_DIR ${PROJECT_SOURCE_DIR}/tools
        BINARY_DIR ${_host_dir}
        CMAKE_ARGS -DCMAKE_BUILD_TYPE=Release
        INSTALL_COMMAND ""
        BUILD_ALWAYS OFF
        BUILD_BYPRODUCTS ${_host_dir}/make_standin_firmware ${_host_dir}/embed_firmware)
    set(FWUPGRADE_MAKE_STANDIN ${_host_dir}/make_standin_firmware)
    set(FWUPGRADE_EMBED ${_host_dir}/embed_firmware)
    set(_tool_deps fwupgrade_host_tools)
else()
    add_subdirectory(tools)
    set(FWUPGRADE_MAKE_STANDIN $<TARGET_FILE:make_standin_firmware>)
    set(FWUPGRADE_EMBED $<TARGET_FILE:embed_firmware>)
    set(_tool_deps make_standin_firmware embed_firmware)
endif()

if(FWUPGRADE_FIRMWARE_DIR)
    set(FWUPGRADE_FIRMWARE_SOURCE_DIR ${FWUPGRADE_FIRMWARE_DIR})
    set(_fw_files)
    foreach(_name IN LISTS _fw_names)
        if(NOT EXISTS ${FWUPGRADE_FIRMWARE_DIR}/${_name})
            message(FATAL_ERROR "FWUPGRADE_FIRMWARE_DIR: ${FWUPGRADE_FIRMWARE_DIR}/${_name} is missing")
        endif()
        list(APPEND _fw_files ${FWUPGRADE_FIRMWARE_DIR}/${_name})
    endforeach()
else()
    set(FWUPGRADE_FIRMWARE_SOURCE_DIR ${CMAKE_BINARY_DIR}/standin_firmware)
    list(TRANSFORM _fw_names PREPEND ${FWUPGRADE_FIRMWARE_SOURCE_DIR}/ OUTPUT_VARIABLE _fw_files)
    add_custom_command(
        OUTPUT ${_fw_files}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${FWUPGRADE_FIRMWARE_SOURCE_DIR}
        COMMAND ${FWUPGRADE_MAKE_STANDIN} ${FWUPGRADE_FIRMWARE_SOURCE_DIR}
        DEPENDS ${_tool_deps}
        COMMENT "Writing the stand-in firmware texts"
        VERBATIM)
endif()

set(_gen_dir ${CMAKE_BINARY_DIR}/generated/firmware)
set(_gen_files ${_gen_dir}/BinImage.h ${_gen_dir}/BinImage.cpp
    ${_gen_dir}/BinImage_0.cpp ${_gen_dir}/BinImage_1.cpp ${_gen_dir}/BinImage_2.cpp)
add_custom_command(
    OUTPUT ${_gen_files}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${_gen_dir}
    COMMAND ${FWUPGRADE_EMBED} ${FWUPGRADE_FIRMWARE_SOURCE_DIR} ${_gen_dir}
    DEPENDS ${_fw_files} ${_tool_deps}
    COMMENT "Embedding the firmware texts into BinImage"
    VERBATIM)

# The arrays gain nothing from optimisation; compiling them plainly keeps the build quick.
add_library(fwupgrade_firmware STATIC ${_gen_files})
target_include_directories(fwupgrade_firmware PUBLIC ${CMAKE_BINARY_DIR}/generated)
if(NOT MSVC)
    set_source_files_properties(${_gen_dir}/BinImage_0.cpp ${_gen_dir}/BinImage_1.cpp ${_gen_dir}/BinImage_2.cpp
        PROPERTIES COMPILE_OPTIONS "-O0;-g0")
endif()
