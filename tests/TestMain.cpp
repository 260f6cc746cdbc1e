// SPDX-License-Identifier: BSD-2-Clause-Patent
// The main of each driver's unit-test program: every test starts with the
// driver's module globals as a freshly loaded image has them, whether ctest
// runs it in a process of its own or the whole program runs at once, in
// any order.
#include "sim/DriverData.h"

#include <gtest/gtest.h>

namespace {

class FreshDriverGlobals : public testing::EmptyTestEventListener {
  // Runs before the test's fixture is made, so set-up code sees fresh
  // globals too.
  void OnTestStart (const testing::TestInfo &) override { sim::ReloadDriverData (); }
};

}  // namespace

int main (int argc, char **argv)
{
  sim::KeepLoadedDriverData ();
  testing::InitGoogleTest (&argc, argv);
  testing::UnitTest::GetInstance ()->listeners ().Append (new FreshDriverGlobals);
  return RUN_ALL_TESTS ();
}
