# SPDX-License-Identifier: BSD-2-Clause-Patent
# Included at the end of configuring: one line for each optional part that
# this build leaves out, skips or cannot run, and why, so that nothing is
# dropped in silence. Parts that are built say nothing.

function(fw_part_note kind part why)
  message(STATUS "${kind}: ${part}: ${why}")
endfunction()

set(deps_hint "scripts/deps installs it")

if(NOT FW_SANITIZE)
  fw_part_note("Left out" "sanitizers"
    "FW_SANITIZE is OFF (-DFW_SANITIZE=ON builds the host code with AddressSanitizer and UBSan, as build-san does)")
else()
  fw_part_note("Left out" "the benchmarks and the header matrix" "they run in the build without sanitizers")
endif()

if(NOT FW_FUZZ)
  fw_part_note("Left out" "the libFuzzer targets" "FW_FUZZ is OFF (-DFW_FUZZ=ON builds and runs them)")
endif()

if(NOT FW_BENCH)
  fw_part_note("Left out" "the benchmarks" "FW_BENCH is OFF")
elseif(NOT FW_SANITIZE AND NOT benchmark_FOUND)
  fw_part_note("Left out" "the benchmarks" "Google Benchmark not found (Debian package libbenchmark-dev; ${deps_hint})")
endif()

if(NOT FW_IMAGES)
  fw_part_note("Left out" "the UEFI images, their checks, the OVMF and SMRAM boots and the EDK2 lane"
               "FW_IMAGES is OFF")
elseif(NOT FW_QEMU_TESTS)
  fw_part_note("Left out" "the OVMF and SMRAM boots" "FW_QEMU_TESTS is OFF")
else()
  # The firmware runner (tests/integration/firmware.py) boots these files.
  find_program(FW_QEMU qemu-system-x86_64)
  if(NOT FW_QEMU)
    fw_part_note("Will fail" "the OVMF and SMRAM boots"
                 "qemu-system-x86_64 not found (Debian package qemu-system-x86; ${deps_hint})")
  endif()
  foreach(firmware /usr/share/OVMF/OVMF_CODE_4M.fd /usr/share/OVMF/OVMF_VARS_4M.fd)
    if(NOT EXISTS ${firmware})
      fw_part_note("Will fail" "the OVMF boots" "${firmware} not found (Debian package ovmf; ${deps_hint})")
      break()
    endif()
  endforeach()
endif()

# The SMRAM lane's firmware image is made from Debian's at build time.
if(FW_IMAGES AND SMRAM_OVMF_CODE AND NOT EXISTS ${SMRAM_OVMF_CODE})
  fw_part_note("Will fail" "the SMRAM lane's firmware image (target smram_firmware) and its boots"
               "${SMRAM_OVMF_CODE} not found (Debian package ovmf; ${deps_hint})")
endif()

if(NOT GNU_EFI_FOUND AND (FW_IMAGES OR NOT FW_SANITIZE))
  fw_part_note("Will fail" "the gnu-efi client's boot and the header matrix's gnu-efi setting" "${GNU_EFI_MISSING}")
endif()

if(NOT EDK2_WORKSPACE AND (FW_IMAGES OR NOT FW_SANITIZE))
  if(FW_IMAGES)
    set(edk2_parts "the EDK2 lane and the header matrix's EDK2 settings")
  else()
    set(edk2_parts "the header matrix's EDK2 settings")
  endif()
  fw_part_note("Skipped" "${edk2_parts}"
               "no EDK2 workspace given (-DEDK2_WORKSPACE=/path/to/edk2: a tree with MdePkg and built BaseTools)")
endif()
