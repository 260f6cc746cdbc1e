# SPDX-License-Identifier: BSD-2-Clause-Patent
# Included before project(): everything here builds with clang. The images
# need clang++ for the x86_64-unknown-windows target, and the host builds
# use clang's warnings, its section pragma and libFuzzer. When no compiler
# is named (-DCMAKE_<LANG>_COMPILER, a toolchain file, or CC and CXX in the
# environment), clang is taken from the path, so that a plain
# `cmake -S . -B build` works; fw_require_clang() (after project()) stops at
# once when another compiler was named.

function(fw_default_compiler lang env)
  if(DEFINED CMAKE_${lang}_COMPILER OR DEFINED CMAKE_TOOLCHAIN_FILE OR DEFINED ENV{${env}})
    return()
  endif()
  find_program(FW_DEFAULT_${lang}_COMPILER NAMES ${ARGN})
  if(NOT FW_DEFAULT_${lang}_COMPILER)
    message(FATAL_ERROR "${ARGV2} not found. This project builds with clang: install the Debian packages "
                        "clang and lld (scripts/deps does), or name clang with "
                        "-DCMAKE_C_COMPILER=/path/to/clang -DCMAKE_CXX_COMPILER=/path/to/clang++")
  endif()
  set(CMAKE_${lang}_COMPILER ${FW_DEFAULT_${lang}_COMPILER} PARENT_SCOPE)
endfunction()

fw_default_compiler(C CC clang clang-14)
fw_default_compiler(CXX CXX clang++ clang++-14)

function(fw_require_clang)
  foreach(lang C CXX)
    if(NOT CMAKE_${lang}_COMPILER_ID STREQUAL "Clang")
      message(FATAL_ERROR "This project builds with clang, but the ${lang} compiler is "
                          "${CMAKE_${lang}_COMPILER_ID} (${CMAKE_${lang}_COMPILER}). Configure a fresh build "
                          "folder with -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++, or name no "
                          "compiler at all (and leave CC and CXX unset) to take clang from the path.")
    endif()
  endforeach()
endfunction()
