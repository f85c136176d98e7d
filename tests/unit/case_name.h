// SPDX-License-Identifier: Apache-2.0
// The GoogleTest name of a table row: its `name`, anything but letters and digits made '_'.
#pragma once

#include <gtest/gtest.h>

#include <cctype>
#include <string>

namespace nimbo::test {

template <typename Case>
std::string case_name(const testing::TestParamInfo<Case>& c) {
  std::string name = c.param.name;
  for (char& ch : name)
    if (std::isalnum(static_cast<unsigned char>(ch)) == 0) ch = '_';
  return name;
}

}  // namespace nimbo::test
