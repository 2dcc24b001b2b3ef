// framework_data_test.cc - the framework's values and addresses: EqData's
// text forms and numeric conversions, its USTR copies, and EqAdr's text
// form.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "framework/base/log.h"
#include "framework/norix.h"

namespace {

// A text read as a type gives "<text form> | <get_int()> <get_float()>",
// and its text form reads back to the same; null: the text is refused and
// leaves the container as it was.
TEST(DataText, TextsReadAsTheTypeShowBackAndConvertOrAreRefused) {
  struct {
    int type;
    const char* in;
    const char* out;
  } cases[] = {
      {DATA_INT, "1e+06", "1000000 | 1000000 1e+06"},
      {DATA_SHORT, "-32768", "-32768 | -32768 -32768"},
      {DATA_LONG, "4294967301", "4294967301 | 5 4.2949673e+09"},
      {DATA_UINT, "4294967295", "4294967295 | -1 4.2949673e+09"},
      {DATA_ULONG, "18446744073709551615", "18446744073709551615 | -1 1.8446744e+19"},
      {DATA_FLOAT, "2e+01", "20 | 20 20"},
      {DATA_FLOAT, "-2.9", "-2.9 | -2 -2.9"},
      {DATA_FLOAT, "1e20", "1e+20 | 2147483647 1e+20"},
      {DATA_DOUBLE, "0.30000000000000004", "0.30000000000000004 | 0 0.3"},
      {DATA_DOUBLE, "-1e300", "-1e+300 | -2147483648 -inf"},
      {DATA_DOUBLE, "nan", "nan | 0 nan"},
      {DATA_STRING, " 42  words\t", " 42  words\t | 0 0"},
      {DATA_IIII, " 1 -2  3 4 ", "1 -2 3 4 | 0 0"},
      {DATA_IFFF, "7 0.5 -1.25 1e-10", "7 0.5 -1.25 1e-10 | 0 0"},
      {DATA_TDS, "1700000000 2.5 255", "1700000000 2.5 255 | 0 0"},
      {DATA_A_FLOAT, "-3.75  8", "-3.75 8 | -3 -3.75"},
      {DATA_SPECTRUM, "", " | 0 0"},
      {DATA_USTR, "0 0 0 0\n1 1.5 -2 5 a\\\\b\\n  c", "0 0 0 0\n1 1.5 -2 5 a\\\\b\\n  c | 0 0"},
      {DATA_INT, "2147483648", nullptr},
      {DATA_INT, "2.5", nullptr},
      {DATA_INT, "0x10", nullptr},
      {DATA_INT, "1 2", nullptr},
      {DATA_INT, "", nullptr},
      {DATA_SHORT, "40000", nullptr},
      {DATA_UINT, "-1", nullptr},
      {DATA_FLOAT, "1e40", nullptr},
      {DATA_IIII, "1 2 3", nullptr},
      {DATA_IFFF, "1.5 2 3 4", nullptr},
      {DATA_TDS, "1 2 256", nullptr},
      {DATA_A_FLOAT, "1 x", nullptr},
      {DATA_USTR, "0 0 0 0\na 0 0 0 t", nullptr},
      {DATA_NULL, "5", nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.type) + " '" + c.in + "'");
    EqData d;
    d.set_type(c.type);
    std::string before = d.text_value();
    if (c.out == nullptr) {
      EXPECT_EQ(-1, d.set_from_string(c.in));
      EXPECT_EQ(before, d.text_value());
      continue;
    }
    ASSERT_EQ(0, d.set_from_string(c.in));
    EqData again;
    again.set_type(c.type);
    ASSERT_EQ(0, again.set_from_string(d.text_value()));
    EqData f;
    f.set(again.get_float());
    EXPECT_EQ(c.out,
              again.text_value() + " | " + std::to_string(again.get_int()) + " " + f.text_value());
  }
}

TEST(DataUstr, TextsAreCopiedWithinTheirLengthAndOwnedByEachCopy) {
  char unterminated[4] = {'a', 'b', 'c', 'd'};
  EqData* d = new EqData;
  d->set(USTR{0, 0, 0, 0, {4, unterminated}}, 0);
  d->set(USTR{0, 0, 0, 0, {200, const_cast<char*>("xy")}}, 1);
  d->set(*d->get_ustr(1), 40);  // grows from its own element
  unterminated[0] = 'z';
  EqData copy(*d);
  delete d;
  ASSERT_EQ(41, copy.length());
  EXPECT_STREQ("abcd", copy.get_ustr(0)->str_data.str_data_val);
  EXPECT_STREQ("", copy.get_ustr(39)->str_data.str_data_val);
  EXPECT_STREQ("xy", copy.get_ustr(40)->str_data.str_data_val);
  EXPECT_EQ(3u, copy.get_ustr(40)->str_data.str_data_len);
  EXPECT_EQ(nullptr, copy.get_ustr(41));
}

// Parts are given joined by "|".
TEST(AddressText, TextsParseIntoPartsThatShowBackTheSame) {
  struct {
    const char* text;
    const char* parts;
  } cases[] = {
      {"", "|||"},      {"FAC/DEV", "FAC|DEV||"},           {"F/D/L/P/x", "F|D|L|P/x"},
      {"////", "|||/"}, {"F\\/X/D\\\\/L/P", "F/X|D\\|L|P"}, {"a\\b/ c /\n/P\\", "a\\b| c |\n|P\\"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EqAdr a;
    a.adr(c.text);
    EqAdr b;
    b.adr(a.show_adr());
    for (const EqAdr* x : {&a, &b}) {
      EXPECT_EQ(c.parts, std::string(x->facility()) + "|" + x->device() + "|" + x->location() +
                             "|" + x->property());
    }
  }
  EqAdr a;
  a.set("F", "L", "D", "P");  // facility, location, device, property
  EXPECT_EQ("F/D/L/P", a.show_adr());
}

}  // namespace

TEST(OperatorLog, LinesCarryTheUtcTimeWithMillisecondsAndTheLevel) {
  EXPECT_EQ("1970-01-01T00:00:00.007Z WARN disk full",
            norix::log_line(norix::LOG_WARN, "disk full", 0, 7));
  EXPECT_EQ("2026-12-06T22:31:05.123Z ERROR x",
            norix::log_line(norix::LOG_ERROR, "x", 1796596265, 123));
}
