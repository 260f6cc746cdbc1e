# SPDX-License-Identifier: BSD-2-Clause-Patent
# Reports the size of each UEFI image and the worst-case stack depth of the
# format engine (FormatOutput) in the ServiceLib image. Run as a script
# after the images link:
#
#   cmake -DIMAGE_DIR=<dir> -DIMAGES="ServiceLib;WdtControl"
#         -DSU_DIR=<ServiceLib object dir> -P Footprint.cmake
#
# The frame sizes come from the compiler's -fstack-usage files (.su) next to
# the image's objects. The compiler gives no call graph, so the calls that
# matter are listed below; keep the list in step with servicelib/console/.
# Every call level adds its 8-byte return address to the frame that the .su
# file gives (which excludes it). A routine that has no .su entry was
# inlined everywhere and counts nothing. The caller's own output routine is
# outside the engine and not counted; BufferPutChar, the routine of the
# nested call, is.

# Calls are "caller -> callee". Node = a routine, as the .su files name it (C names plain, C++ names in
# the Microsoft mangling of the image target). A trailing "*" marks the
# nested engine run that builds a GUID, time or status text: its formats are
# fixed 8-bit integer formats, so it never nests again.
set(SU_NAMES
  "FormatOutput=FormatOutput"
  "FormatEngine<CHAR8>=??$FormatEngine@D@"
  "FormatEngine<CHAR16>=??$FormatEngine@G@"
  "NumberToText<CHAR8>=??$NumberToText@D@"
  "NumberToText<CHAR16>=??$NumberToText@G@"
  "WriteField<CHAR8>=??$WriteField@D@"
  "WriteField<CHAR16>=??$WriteField@G@"
  "GuidText=?GuidText@@"
  "TimeText=?TimeText@@"
  "StatusText=?StatusText@@"
  "StatusName=?StatusName@@"
  "BufferPrint=BufferPrint"
  "BufferPrintList=?BufferPrintList@@"
  "BufferPutChar=BufferPutChar")

set(CALLS
  "FormatOutput -> FormatEngine<CHAR8>"
  "FormatOutput -> FormatEngine<CHAR16>"
  # the outer engine, either width
  "FormatEngine<CHAR8> -> NumberToText<CHAR8>"
  "FormatEngine<CHAR16> -> NumberToText<CHAR16>"
  "FormatEngine<CHAR8> -> WriteField<CHAR8>"
  "FormatEngine<CHAR8> -> WriteField<CHAR16>"
  "FormatEngine<CHAR16> -> WriteField<CHAR8>"
  "FormatEngine<CHAR16> -> WriteField<CHAR16>"
  "FormatEngine<CHAR8> -> GuidText"
  "FormatEngine<CHAR8> -> TimeText"
  "FormatEngine<CHAR8> -> StatusText"
  "FormatEngine<CHAR16> -> GuidText"
  "FormatEngine<CHAR16> -> TimeText"
  "FormatEngine<CHAR16> -> StatusText"
  # building the text of %g %G %t %r
  "GuidText -> BufferPrintList"
  "TimeText -> BufferPrintList"
  "StatusText -> BufferPrintList"
  "StatusText -> StatusName"
  "BufferPrint -> BufferPrintList"
  "BufferPrintList -> FormatEngine<CHAR8>*"
  # the nested run: integers only, into BufferPutChar
  "FormatEngine<CHAR8>* -> NumberToText<CHAR8>"
  "FormatEngine<CHAR8>* -> WriteField<CHAR8>*"
  "FormatEngine<CHAR8>* -> BufferPutChar"
  "WriteField<CHAR8>* -> BufferPutChar")

# Frame sizes from the .su files.
file(GLOB su_files ${SU_DIR}/*.su)
set(su_lines)
foreach(f ${su_files})
  file(STRINGS ${f} lines)
  list(APPEND su_lines ${lines})
endforeach()

function(frame_of node out_size out_found)
  string(REGEX REPLACE "\\*$" "" base "${node}")
  set(key)
  foreach(entry ${SU_NAMES})
    string(FIND "${entry}" "=" eq)
    string(SUBSTRING "${entry}" 0 ${eq} name)
    if(name STREQUAL base)
      math(EXPR from "${eq} + 1")
      string(SUBSTRING "${entry}" ${from} -1 key)
    endif()
  endforeach()
  if(NOT key)
    message(FATAL_ERROR "Footprint: no .su name for ${base}")
  endif()
  set(size 0)
  set(found FALSE)
  foreach(line ${su_lines})
    # path:line:name<TAB>bytes<TAB>qualifier
    if(line MATCHES "^.*:[0-9]+:([^\t]+)\t([0-9]+)\t([a-z,]+)$")
      set(fn "${CMAKE_MATCH_1}")
      set(bytes "${CMAKE_MATCH_2}")
      set(kind "${CMAKE_MATCH_3}")
      string(FIND "${fn}" "${key}" at)
      if(fn STREQUAL key OR at EQUAL 0)
        if(NOT kind STREQUAL "static")
          message(WARNING "Footprint: ${fn} has a ${kind} frame")
        endif()
        if(bytes GREATER size)
          set(size ${bytes})
        endif()
        set(found TRUE)
      endif()
    endif()
  endforeach()
  set(${out_size} ${size} PARENT_SCOPE)
  set(${out_found} ${found} PARENT_SCOPE)
endfunction()

# Deepest path from node: its frame, its return address, and the deepest callee.
function(depth_of node out_depth out_path)
  frame_of("${node}" size found)
  if(found)
    math(EXPR own "${size} + 8")
  else()
    set(own 0)
  endif()
  set(best 0)
  set(best_path "")
  foreach(call ${CALLS})
    string(FIND "${call}" " -> " gt)
    string(SUBSTRING "${call}" 0 ${gt} caller)
    if(caller STREQUAL node)
      math(EXPR from "${gt} + 4")
      string(SUBSTRING "${call}" ${from} -1 callee)
      depth_of("${callee}" d p)
      if(d GREATER best)
        set(best ${d})
        set(best_path "${p}")
      endif()
    endif()
  endforeach()
  math(EXPR total "${own} + ${best}")
  string(REGEX REPLACE "\\*$" "" label "${node}")
  if(best_path)
    set(${out_path} "${label} ${own} > ${best_path}" PARENT_SCOPE)
  else()
    set(${out_path} "${label} ${own}" PARENT_SCOPE)
  endif()
  set(${out_depth} ${total} PARENT_SCOPE)
endfunction()

foreach(image ${IMAGES})
  set(path ${IMAGE_DIR}/${image}.efi)
  if(NOT EXISTS ${path})
    continue()
  endif()
  file(SIZE ${path} bytes)
  if(image STREQUAL "ServiceLib")
    depth_of(FormatOutput depth chain)
    message(STATUS "${image}.efi: ${bytes} bytes; FormatOutput worst-case stack: ${depth} bytes")
    message(STATUS "  deepest path (frame + return address): ${chain}")
    if(depth GREATER_EQUAL 1024)
      message(WARNING "FormatOutput's worst-case stack is ${depth} bytes, over the 1 KiB budget")
    endif()
  else()
    message(STATUS "${image}.efi: ${bytes} bytes")
  endif()
endforeach()
