// SPDX-License-Identifier: BSD-2-Clause-Patent
// Names the instances of a table-driven test after the Name member of
// their cases:
//   INSTANTIATE_TEST_SUITE_P (Rows, Suite, ::testing::ValuesIn (kCases), CaseName ());
#ifndef TESTS_CASE_NAME_H_
#define TESTS_CASE_NAME_H_

#include <gtest/gtest.h>

#include <string>

struct CaseName {
  template <typename CaseT> std::string operator() (const ::testing::TestParamInfo<CaseT> &Info) const
  {
    return Info.param.Name;
  }
};

#endif
