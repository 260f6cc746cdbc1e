# SPDX-License-Identifier: BSD-2-Clause-Patent
# Finds Debian's gnu-efi (headers, crt0, linker script, libraries) and the
# binutils that gnu-efi applications are linked and converted with, and
# builds such applications the way gnu-efi's own rules do: compile as
# position-independent ELF, link with gnu-efi's crt0 and linker script
# into a shared object, objcopy the sections to a PE32+ EFI application.
#
#   gnuefi_app(NAME Client SOURCES client.c INCLUDES dir ...)
#
# The application appears as ${EFI_IMAGE_DIR}/NAME.efi and as target
# NAME_efi; its objects are compiled by efi_objects (EfiImage.cmake, which
# must be included before the first call). GNU_EFI_FOUND says whether it
# can be built; when it cannot, GNU_EFI_MISSING says why and the tests that
# need it fail with that text.

find_path(GNU_EFI_INCLUDE_DIR efi.h PATHS /usr/include/efi /usr/local/include/efi NO_DEFAULT_PATH)
find_file(GNU_EFI_CRT0 crt0-efi-x86_64.o PATHS /usr/lib /usr/lib64 /usr/lib/gnuefi /usr/local/lib NO_DEFAULT_PATH)
find_file(GNU_EFI_LDS elf_x86_64_efi.lds PATHS /usr/lib /usr/lib64 /usr/lib/gnuefi /usr/local/lib NO_DEFAULT_PATH)
find_library(GNU_EFI_LIBEFI efi PATHS /usr/lib /usr/lib64 /usr/local/lib NO_DEFAULT_PATH)
find_library(GNU_EFI_LIBGNUEFI gnuefi PATHS /usr/lib /usr/lib64 /usr/local/lib NO_DEFAULT_PATH)
find_program(GNU_EFI_LD NAMES ld.bfd ld)
find_program(GNU_EFI_OBJCOPY NAMES objcopy)

set(GNU_EFI_MISSING "")
foreach(item GNU_EFI_INCLUDE_DIR GNU_EFI_CRT0 GNU_EFI_LDS GNU_EFI_LIBEFI GNU_EFI_LIBGNUEFI)
  if(NOT ${item})
    set(GNU_EFI_MISSING "gnu-efi not found (${item}): install the Debian package gnu-efi (scripts/deps does)")
  endif()
endforeach()
foreach(item GNU_EFI_LD GNU_EFI_OBJCOPY)
  if(NOT ${item})
    set(GNU_EFI_MISSING "${item} not found: install the Debian package binutils (scripts/deps does)")
  endif()
endforeach()
# cmake/OptionalParts.cmake reports a missing gnu-efi with the tests that fail.
if(GNU_EFI_MISSING)
  set(GNU_EFI_FOUND OFF)
else()
  set(GNU_EFI_FOUND ON)
endif()

set(GNU_EFI_CFLAGS
  -std=c11 -O2 -fpic -fshort-wchar -ffreestanding -fno-stack-protector -fno-stack-check -fno-strict-aliasing
  -mno-red-zone -Wall -Wextra -Werror
  -I${GNU_EFI_INCLUDE_DIR} -I${GNU_EFI_INCLUDE_DIR}/x86_64)

function(gnuefi_app)
  cmake_parse_arguments(APP "" "NAME" "SOURCES;INCLUDES" ${ARGN})
  if(NOT GNU_EFI_FOUND)
    return()
  endif()
  set(objdir ${CMAKE_BINARY_DIR}/gnuefi-obj/${APP_NAME})
  efi_objects(objects ${objdir} "gnu-efi ${APP_NAME}" COMPILE ${CMAKE_C_COMPILER} ${GNU_EFI_CFLAGS}
              SOURCES ${APP_SOURCES} INCLUDES ${APP_INCLUDES})
  get_filename_component(libdir ${GNU_EFI_LIBEFI} DIRECTORY)
  set(so ${objdir}/${APP_NAME}.so)
  set(out ${EFI_IMAGE_DIR}/${APP_NAME}.efi)
  add_custom_command(
    OUTPUT ${out}
    COMMAND ${GNU_EFI_LD} -nostdlib -znocombreloc -T ${GNU_EFI_LDS} -shared -Bsymbolic --no-undefined
            -L${libdir} ${GNU_EFI_CRT0} ${objects} -o ${so} -lefi -lgnuefi
    COMMAND ${CMAKE_COMMAND} -E make_directory ${EFI_IMAGE_DIR}
    COMMAND ${GNU_EFI_OBJCOPY} -j .text -j .sdata -j .data -j .dynamic -j .dynsym -j .rel -j .rela -j .rel.*
            -j .rela.* -j .reloc --target efi-app-x86_64 ${so} ${out}
    DEPENDS ${objects}
    COMMENT "gnu-efi link ${APP_NAME}.efi"
    VERBATIM)
  add_custom_target(${APP_NAME}_efi ALL DEPENDS ${out})
endfunction()
