# SPDX-License-Identifier: BSD-2-Clause-Patent
# Builds PE32+ images for UEFI with the installed clang++ and lld-link,
# without a second toolchain: every source is compiled by a custom command
# for the x86_64-unknown-windows target and the objects are linked with
# lld-link. Objects also leave the compiler's stack-usage (.su) files.
#
#   efi_image(NAME ServiceLib SUBSYSTEM efi_boot_service_driver
#             ENTRY ServiceLibEntryPoint SOURCES a.cpp b.cpp
#             INCLUDES dir ...)
#
# The image appears as ${CMAKE_BINARY_DIR}/images/NAME.efi and as target
# NAME_efi.

find_program(EFI_CLANGXX NAMES clang++ clang++-14 REQUIRED)
find_program(EFI_LLD_LINK NAMES lld-link lld-link-14 REQUIRED)

set(EFI_IMAGE_DIR ${CMAKE_BINARY_DIR}/images)

set(EFI_CXX_FLAGS
  --target=x86_64-unknown-windows
  -std=c++20 -Os
  -ffreestanding -nostdinc -fno-exceptions -fno-rtti
  -fno-asynchronous-unwind-tables -fno-unwind-tables
  -fno-stack-protector -mno-stack-arg-probe -mno-red-zone -mgeneral-regs-only
  -fshort-wchar -fno-threadsafe-statics -ffunction-sections -fdata-sections
  -Wall -Wextra -Werror=global-constructors -Werror=exit-time-destructors
  -Wframe-larger-than=4096 -Werror=frame-larger-than
  -fstack-usage)

function(efi_image)
  cmake_parse_arguments(EFI "" "NAME;SUBSYSTEM;ENTRY" "SOURCES;INCLUDES" ${ARGN})
  set(objdir ${CMAKE_BINARY_DIR}/efi-obj/${EFI_NAME})
  set(objects)
  set(incflags)
  foreach(inc ${EFI_INCLUDES})
    list(APPEND incflags -I${inc})
  endforeach()
  foreach(src ${EFI_SOURCES})
    get_filename_component(abs ${src} ABSOLUTE)
    file(RELATIVE_PATH rel ${CMAKE_SOURCE_DIR} ${abs})
    string(REPLACE "/" "_" flat ${rel})
    set(obj ${objdir}/${flat}.obj)
    add_custom_command(
      OUTPUT ${obj}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${objdir}
      COMMAND ${EFI_CLANGXX} ${EFI_CXX_FLAGS} ${incflags} -MD -MF ${obj}.d -c ${abs} -o ${obj}
      DEPENDS ${abs}
      DEPFILE ${obj}.d
      COMMENT "EFI ${EFI_NAME}: ${rel}"
      VERBATIM)
    list(APPEND objects ${obj})
  endforeach()
  set(out ${EFI_IMAGE_DIR}/${EFI_NAME}.efi)
  add_custom_command(
    OUTPUT ${out}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${EFI_IMAGE_DIR}
    COMMAND ${EFI_LLD_LINK} /nologo /machine:x64 /subsystem:${EFI_SUBSYSTEM}
            /entry:${EFI_ENTRY} /nodefaultlib /debug:none /Brepro /opt:ref /opt:icf
            /out:${out} ${objects}
    DEPENDS ${objects}
    COMMENT "EFI link ${EFI_NAME}.efi"
    VERBATIM)
  add_custom_target(${EFI_NAME}_efi ALL DEPENDS ${out})
  set_property(GLOBAL APPEND PROPERTY EFI_IMAGES ${EFI_NAME})
endfunction()
