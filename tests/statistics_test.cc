// statistics_test.cc - calc_data over scalars, float arrays and values it
// does not handle, for every operation and one beyond the last.

#include <gtest/gtest.h>
#include <math.h>

#include <string>
#include <vector>

#include "save_restore/sr_func.h"

namespace {

TEST(Statistics, EveryOperationOnEveryKindOfValue) {
  struct Case {
    int type;
    const char* value;            // as text of that type
    std::vector<float> expected;  // No Max Min Delta Mean RMS Abs Sum, then 8
  };
  const float kLow = -99999997952.0f;  // the start values of Max and Min
  const Case cases[] = {
      {DATA_INT, "-3", {-3, -3, -3, -3, -3, 3, 3, -3, -3}},
      {DATA_FLOAT, "-2.5", {-2.5, -2.5, -2.5, -2.5, -2.5, 2.5, 2.5, -2.5, -2.5}},
      {DATA_DOUBLE, "-2.5", {-2.5, -2.5, -2.5, -2.5, -2.5, 2.5, 2.5, -2.5, -2.5}},
      {DATA_SPECTRUM, "1 2 3 4", {1, 4, 1, 3, 2.5, sqrtf(5.0f) / 3.0f, 1, 10, 0}},
      {DATA_A_FLOAT, "-7 1", {-7, 1, -7, 8, -3, sqrtf(32.0f), 7, -6, 0}},
      {DATA_A_FLOAT, "-2e11", {-2e11f, kLow, -2e11f, 1e11f, -2e11f, 0, 2e11f, -2e11f, 0}},
      {DATA_A_FLOAT, "", {0, kLow, -kLow, 2 * kLow, 0, 0, 0, 0, 0}},
      {DATA_STRING, "12.5", std::vector<float>(9)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.type) + " " + c.value);
    EqData value;
    value.set_type(c.type);
    ASSERT_EQ(value.set_from_string(c.value), 0);
    std::vector<float> got;
    for (int f = No; f <= Sum + 1; ++f)
      got.push_back(calc_data(static_cast<OpFunc>(f), &value));
    EXPECT_EQ(got, c.expected);
  }
}

}  // namespace
