# SPDX-License-Identifier: BSD-2-Clause-Patent
# Script mode, run after each image compile. The compiler runs in the
# checkout and is given the source by its path from there (see
# EfiImage.cmake for why), so the depfile names that source, and every
# header it includes by a relative path, relative to the checkout. The
# build tool reads relative depfile paths from the build folder instead,
# finds no such files and would rebuild every object on every run. This
# makes each relative entry absolute.
#
#   cmake -DDEPFILE=<obj>.d -DROOT=<checkout> -P EfiDepfile.cmake
file(READ "${DEPFILE}" Text)
string(REGEX REPLACE "([ \t\n])([^/ \t\r\n\\\\][^ \t\r\n]*)" "\\1${ROOT}/\\2" Text "${Text}")
file(WRITE "${DEPFILE}" "${Text}")
