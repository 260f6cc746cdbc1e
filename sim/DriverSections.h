// SPDX-License-Identifier: BSD-2-Clause-Patent
// Forced into every source of the drivers' host builds (never the images):
// each module global goes into one of two sections, .driver.data or
// .driver.bss, whatever its name or file. Each test program's link gathers
// them between symbols (DriverData.ld), so a new global is covered by the
// reload before each test without being listed anywhere (DriverData.h).
#ifndef SIM_DRIVER_SECTIONS_H_
#define SIM_DRIVER_SECTIONS_H_

#pragma clang section bss = ".driver.bss" data = ".driver.data"

#endif
