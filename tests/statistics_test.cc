// statistics_test.cc - calc_data over scalars, float arrays and values it
// does not handle.

#include <gtest/gtest.h>
#include <math.h>

#include <vector>

#include "save_restore/sr_func.h"

namespace {

constexpr OpFunc kAll[] = {No, Max, Min, Delta, Mean, RMS, Abs, Sum};

std::vector<float> all_of(EqData* data) {
  std::vector<float> out;
  for (OpFunc f : kAll)
    out.push_back(calc_data(f, data));
  return out;
}

EqData array_of(const std::vector<float>& v, int type = DATA_A_FLOAT) {
  EqData d;
  d.set(v.data(), static_cast<int>(v.size()));
  if (type != DATA_A_FLOAT) {
    d.set_type(type);
    std::string text;
    for (float x : v)
      text += std::to_string(x) + " ";
    d.set_from_string(text);
  }
  return d;
}

TEST(Statistics, ScalarGivesItsValueOrItsMagnitude) {
  EqData d;
  d.set(-3);
  //                              No   Max  Min  Delta Mean RMS Abs Sum
  EXPECT_EQ(all_of(&d), (std::vector<float>{-3, -3, -3, -3, -3, 3, 3, -3}));
  EXPECT_EQ(calc_data(static_cast<OpFunc>(8), &d), -3.0f);
  d.set(-2.5f);
  EXPECT_EQ(calc_data(Abs, &d), 2.5f);
  d.set(-2.5);  // a double reads as float
  EXPECT_EQ(calc_data(Mean, &d), -2.5f);
}

TEST(Statistics, FloatArrayOfOneToFour) {
  for (int type : {DATA_A_FLOAT, DATA_SPECTRUM}) {
    SCOPED_TRACE(type);
    EqData d = array_of({1, 2, 3, 4}, type);
    ASSERT_EQ(d.type(), type);
    std::vector<float> got = all_of(&d);
    EXPECT_EQ(got, (std::vector<float>{1, 4, 1, 3, 2.5f, sqrtf(5.0f) / 3.0f, 1, 10}));
    EXPECT_NEAR(got[5], 0.745356, 1e-6);
  }
}

TEST(Statistics, StartValuesBoundTheExtremes) {
  EqData low = array_of({-2.0e11f, -3.0e11f});
  EXPECT_EQ(calc_data(Max, &low), -1.0e11f);
  EqData high = array_of({2.0e11f});
  EXPECT_EQ(calc_data(Min, &high), 1.0e11f);

  EqData empty = array_of({});
  EXPECT_EQ(all_of(&empty),
            (std::vector<float>{0, -99999997952.0f, 99999997952.0f, -199999995904.0f, 0, 0, 0, 0}));
}

TEST(Statistics, OneElementArray) {
  EqData d = array_of({7});
  EXPECT_EQ(all_of(&d), (std::vector<float>{7, 7, 7, 0, 7, 0, 7, 7}));
  EqData neg = array_of({-7, 1});
  EXPECT_EQ(calc_data(Abs, &neg), 7.0f);
}

TEST(Statistics, UnhandledValuesGiveZero) {
  EqData d = array_of({1, 2});
  EXPECT_EQ(calc_data(static_cast<OpFunc>(8), &d), 0.0f);
  EqData text;
  text.set("12.5");
  EXPECT_EQ(all_of(&text), std::vector<float>(8, 0.0f));
  EqData none;
  EXPECT_EQ(all_of(&none), std::vector<float>(8, 0.0f));
}

}  // namespace
