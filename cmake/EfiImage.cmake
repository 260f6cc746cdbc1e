# SPDX-License-Identifier: BSD-2-Clause-Patent
# Builds PE32+ images for UEFI with the installed clang++ and lld-link,
# without a second toolchain: every source is compiled by a custom command
# for the x86_64-unknown-windows target and the objects are linked with
# lld-link. Objects also leave the compiler's stack-usage (.su) files, which
# cmake/footprint.py reads with the objects themselves.
#
# Images are laid out for firmware volumes: sections and file contents both
# 32-byte aligned, and each section at the file offset equal to its address
# (the file is the image as loaded, up to the last section's data, so a
# flash-volume tool can place and rebase it in place),
# image base 0 (a symbol's address is its offset from the load address),
# and the release version in the header's image version.
#
# Every image comes with a debug file, NAME.debug: the same link with its
# DWARF sections kept (gdb and the LLVM tools read it). NAME.efi is that
# link with the DWARF sections stripped, so its code and data are the debug
# file's, byte for byte, at the same addresses. Its debug directory names
# NAME.debug, which is how a firmware log names the driver. Source paths in
# the DWARF are relative to the checkout (each source is compiled by its
# relative path: the names of anonymous namespaces hash it), so neither file
# records where it was built and the images stay reproducible.
#
#   efi_image(NAME ServiceLib SUBSYSTEM efi_boot_service_driver
#             ENTRY ServiceLibEntryPoint SOURCES a.cpp b.cpp
#             INCLUDES dir ...)
#
# The image appears as ${CMAKE_BINARY_DIR}/images/NAME.efi (its debug file
# beside it) and as target NAME_efi; its objects are listed in the global
# property EFI_OBJECTS_NAME.

find_program(EFI_CLANGXX NAMES clang++ clang++-14 REQUIRED)
find_program(EFI_LLD_LINK NAMES lld-link lld-link-14 REQUIRED)
find_program(EFI_OBJCOPY NAMES llvm-objcopy llvm-objcopy-14 REQUIRED)
find_program(EFI_OBJDUMP NAMES llvm-objdump llvm-objdump-14 REQUIRED)
find_program(EFI_UNDNAME NAMES llvm-undname llvm-undname-14 REQUIRED)

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
  -fstack-usage
  -gdwarf -ffile-prefix-map=${CMAKE_SOURCE_DIR}/= -ffile-prefix-map=${CMAKE_SOURCE_DIR}=.)

# efi_objects(VAR OBJDIR LABEL COMPILE command... SOURCES ... INCLUDES ...):
# one object per source in OBJDIR, compiled by the command given in the
# checkout on the source's relative path, with a depfile; the objects'
# paths go to VAR. The gnu-efi applications (GnuEfi.cmake) use it too.
function(efi_objects var objdir label)
  cmake_parse_arguments(OBJ "" "" "COMPILE;SOURCES;INCLUDES" ${ARGN})
  set(objects)
  set(incflags)
  foreach(inc ${OBJ_INCLUDES})
    list(APPEND incflags -I${inc})
  endforeach()
  foreach(src ${OBJ_SOURCES})
    get_filename_component(abs ${src} ABSOLUTE)
    file(RELATIVE_PATH rel ${CMAKE_SOURCE_DIR} ${abs})
    string(REPLACE "/" "_" flat ${rel})
    set(obj ${objdir}/${flat}.obj)
    add_custom_command(
      OUTPUT ${obj}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${objdir}
      COMMAND ${OBJ_COMPILE} ${incflags} -MD -MF ${obj}.d -c ${rel} -o ${obj}
      COMMAND ${CMAKE_COMMAND} -DDEPFILE=${obj}.d -DROOT=${CMAKE_SOURCE_DIR}
              -P ${CMAKE_SOURCE_DIR}/cmake/EfiDepfile.cmake
      DEPENDS ${abs}
      DEPFILE ${obj}.d
      WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}
      COMMENT "${label}: ${rel}"
      VERBATIM)
    list(APPEND objects ${obj})
  endforeach()
  set(${var} ${objects} PARENT_SCOPE)
endfunction()

function(efi_image)
  cmake_parse_arguments(EFI "" "NAME;SUBSYSTEM;ENTRY" "SOURCES;INCLUDES" ${ARGN})
  set(objdir ${CMAKE_BINARY_DIR}/efi-obj/${EFI_NAME})
  efi_objects(objects ${objdir} "EFI ${EFI_NAME}" COMPILE ${EFI_CLANGXX} ${EFI_CXX_FLAGS}
              SOURCES ${EFI_SOURCES} INCLUDES ${EFI_INCLUDES})
  set(out ${EFI_IMAGE_DIR}/${EFI_NAME}.efi)
  set(dbg ${EFI_IMAGE_DIR}/${EFI_NAME}.debug)
  # The link runs in the object folder on relative names: /debug also
  # writes a PDB (left there: the objects carry no CodeView, so it holds
  # nothing the DWARF lacks), and /Brepro derives the debug directory's
  # identifier from it, so no absolute path may go into it either.
  # /driver only acknowledges the small alignment; it changes no byte.
  # The first section's address is the header size of this link, which
  # holds the DWARF sections' headers too (0x320 for our images); the
  # stripped image needs fewer, and llvm-objcopy packs its sections right
  # behind them, below their addresses. flat_image.py then puts each
  # section back at the file offset equal to its address (headers padded
  # to the first section, a zero-filled tail written out where the next
  # section follows), moving bytes, not addresses: the code stays the
  # debug file's, and a volume tool that rebases the image where it lies
  # finds each byte at the address it patches. No lld-link option sets
  # the header size, and a separate link without DWARF would move the
  # code away from the debug file's addresses.
  file(RELATIVE_PATH dbg_rel ${objdir} ${dbg})
  set(obj_names)
  foreach(obj ${objects})
    get_filename_component(name ${obj} NAME)
    list(APPEND obj_names ${name})
  endforeach()
  add_custom_command(
    OUTPUT ${out} ${dbg}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${EFI_IMAGE_DIR}
    COMMAND ${EFI_LLD_LINK} /nologo /machine:x64 /subsystem:${EFI_SUBSYSTEM}
            /entry:${EFI_ENTRY} /nodefaultlib /Brepro /opt:ref /opt:icf
            /align:32 /filealign:32 /driver /base:0
            /version:${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}
            /debug /incremental:no /ignore:longsections
            /pdb:${EFI_NAME}.pdb /pdbaltpath:${EFI_NAME}.debug /pdbsourcepath:.
            /out:${dbg_rel} ${obj_names}
    COMMAND ${EFI_OBJCOPY} --strip-debug ${dbg} ${out}.stripped
    COMMAND ${FW_PYTHON3} ${CMAKE_SOURCE_DIR}/cmake/flat_image.py ${out}.stripped ${out}
    COMMAND ${CMAKE_COMMAND} -E rm ${out}.stripped
    DEPENDS ${objects} ${CMAKE_SOURCE_DIR}/cmake/flat_image.py
    WORKING_DIRECTORY ${objdir}
    COMMENT "EFI link ${EFI_NAME}.efi and ${EFI_NAME}.debug"
    VERBATIM)
  add_custom_target(${EFI_NAME}_efi ALL DEPENDS ${out})
  set_property(GLOBAL APPEND PROPERTY EFI_IMAGES ${EFI_NAME})
  set_property(GLOBAL PROPERTY EFI_OBJECTS_${EFI_NAME} ${objects})
endfunction()
