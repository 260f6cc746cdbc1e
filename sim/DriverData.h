// SPDX-License-Identifier: BSD-2-Clause-Patent
// The drivers' module globals as a freshly loaded image has them. In
// firmware every start of a driver finds its globals as the image file
// holds them; a host test program runs many tests in one process, so it
// keeps those bytes when it starts and puts them back before each test.
// The host builds place every module global in .driver.data or .driver.bss
// (DriverSections.h, forced into each of their sources), and the program's
// link gathers those between symbols (DriverData.ld): no list of globals to
// keep in step with the drivers.
#ifndef SIM_DRIVER_DATA_H_
#define SIM_DRIVER_DATA_H_

namespace sim {

// Keeps the drivers' initialised data as loaded. Call once, before any
// driver code runs.
void KeepLoadedDriverData ();

// Writes the kept data back and clears the zero-initialised globals: the
// drivers' globals are as loaded again.
void ReloadDriverData ();

}  // namespace sim

#endif
