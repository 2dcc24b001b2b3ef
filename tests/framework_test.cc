// framework_test.cc - the host framework stand-in: data conversions and text
// forms, addresses, the served-location registry and client calls, property
// ownership and locking, histories and archives, saved values.

#include <gtest/gtest.h>
#include <limits.h>
#include <math.h>
#include <pthread.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "framework/norix.h"

namespace {

EqData typed(int type, const std::string& text) {
  EqData d;
  d.set_type(type);
  EXPECT_EQ(0, d.set_from_string(text)) << "type " << type << " text '" << text << "'";
  return d;
}

std::string text_of(EqData& d) {
  char buf[256];
  return d.get_string(buf, sizeof buf);
}

USTR make_ustr(int i1, const char* text, unsigned len) {
  USTR u{};
  u.i1_data = i1;
  u.f1_data = 1.5f;
  u.f2_data = -2;
  u.tm = 1700000000;
  u.str_data.str_data_len = len;
  u.str_data.str_data_val = const_cast<char*>(text);
  return u;
}

std::vector<std::string> ustr_texts(EqData& d) {
  std::vector<std::string> out;
  for (int i = 0; i < d.length(); ++i) {
    out.push_back(d.get_ustr(i)->str_data.str_data_val);
  }
  return out;
}

std::vector<std::string> file_lines(const std::string& path) {
  std::ifstream in(path);
  std::vector<std::string> lines;
  std::string line;
  while (std::getline(in, line))
    lines.push_back(line);
  return lines;
}

std::string temp_path(const std::string& name) {
  const char* dir = getenv("TMPDIR");
  return std::string(dir != nullptr ? dir : "/tmp") + "/framework_test_" +
         std::to_string(getpid()) + "_" + name;
}

// A property whose get waits until the test releases it, so that a test can
// hold a client call in flight.
class D_gate : public D_fct {
 public:
  D_gate(const char* text, EqFct* owner) : D_fct(text, owner) {}
  void get(EqAdr*, EqData*, EqData* result, EqFct*) override {
    std::unique_lock<std::mutex> lock(m);
    entered = true;
    cv.notify_all();
    cv.wait_for(lock, std::chrono::seconds(10), [this] { return released; });
    result->set(7);
  }
  bool wait_entered() {
    std::unique_lock<std::mutex> lock(m);
    return cv.wait_for(lock, std::chrono::seconds(10), [this] { return entered; });
  }
  void release() {
    std::lock_guard<std::mutex> lock(m);
    released = true;
    cv.notify_all();
  }
  std::mutex m;
  std::condition_variable cv;
  bool entered = false;
  bool released = false;
};

// A served location "L1" of server FAC/DEV with one property of each class.
class Served : public ::testing::Test {
 protected:
  void SetUp() override {
    norix::clear_served();
    norix::set_server("FAC", "DEV");
    loc.set_name("L1");
    norix::serve_location(&loc);
  }
  void TearDown() override { norix::clear_served(); }

  int get(const std::string& address, EqData* result) {
    EqAdr a;
    a.adr(address);
    EqData request;
    return call.get(&a, &request, result);
  }
  int set(const std::string& address, EqData* value, EqData* result) {
    EqAdr a;
    a.adr(address);
    return call.set(&a, value, result);
  }

  EqCall call;
  EqFct loc{"NAME = location"};
  norix::D_value<int> count{"COUNT number of things", &loc};
  norix::D_value<float> gain{"GAIN amplifier gain", &loc};
  D_string label{"LABEL a text", &loc};
  D_iiii quad{"QUAD four numbers", &loc};
  D_dig_filter filt{"FILT a filter", &loc};
  D_ustr note{"NOTE a note", &loc};
  D_hist trend{"TREND a history", &loc, 3};
};

// --- conversions -------------------------------------------------------------

TEST(DataConversions, IntegersOfEveryWidthGiveLow32BitsOrNearestFloat) {
  EqData d;
  d.set(static_cast<long long>(0x100000005LL));
  EXPECT_EQ(5, d.get_int());
  EXPECT_EQ(4294967301.0f, d.get_float());
  d.set(-7LL);
  EXPECT_EQ(-7, d.get_int());

  EqData u = typed(DATA_UINT, "4294967295");
  EXPECT_EQ(-1, u.get_int());
  EXPECT_EQ(4294967296.0f, u.get_float());
  EqData ul = typed(DATA_ULONG, "18446744073709551615");
  EXPECT_EQ(-1, ul.get_int());
  EXPECT_EQ(18446744073709551616.0f, ul.get_float());
  EqData s = typed(DATA_SHORT, "-32768");
  EXPECT_EQ(-32768, s.get_int());
  EqData big;
  big.set(16777217);  // nearest float is 16777216
  EXPECT_EQ(16777216.0f, big.get_float());
}

TEST(DataConversions, FloatsTruncateTowardZeroWithoutOverflow) {
  EqData d;
  d.set(2.9f);
  EXPECT_EQ(2, d.get_int());
  d.set(-2.9f);
  EXPECT_EQ(-2, d.get_int());
  d.set(2.9);
  EXPECT_EQ(2, d.get_int());
  EXPECT_EQ(2.9f, d.get_float());
  d.set(1e20f);
  EXPECT_EQ(INT_MAX, d.get_int());
  d.set(-1e300);
  EXPECT_EQ(INT_MIN, d.get_int());
  EXPECT_TRUE(isinf(d.get_float()) && d.get_float() < 0);
  d.set(static_cast<double>(NAN));
  EXPECT_EQ(0, d.get_int());
}

TEST(DataConversions, ArraysGiveFirstElementAndOtherTypesZero) {
  const float values[] = {-3.75f, 8};
  EqData d;
  d.set(values, 2);
  EXPECT_EQ(-3, d.get_int());
  EXPECT_EQ(-3.75f, d.get_float());
  EXPECT_EQ(8.0f, d.get_float(1));
  EXPECT_EQ(0.0f, d.get_float(2));
  EXPECT_EQ(2, d.length());
  d.set(values, 0);
  EXPECT_EQ(0, d.get_int());
  EXPECT_EQ(0, d.length());

  EqData others[5];
  others[0].set("42");
  others[1].set(IIII{4, 3, 2, 1});
  others[2].set(IFFF{4, 3, 2, 1});
  others[3].set(TDS{5, 6.5f, 1});
  others[4].set(make_ustr(9, "x", 2), 0);
  for (EqData& o : others) {
    EXPECT_EQ(0, o.get_int()) << o.type();
    EXPECT_EQ(0.0f, o.get_float()) << o.type();
  }
  EXPECT_EQ(nullptr, others[0].get_float_array());
  EXPECT_EQ(0, others[0].get_iiii()->i1_data);  // a zeroed record for another type
}

TEST(DataConversions, CopyTakesValueTypeAndErrorAndSetClearsError) {
  EqData src;
  src.set(IFFF{1, 2, 3, 4});
  src.error(ERR_NO_PROPERTY, "unknown property");
  EqData dst;
  dst.set("old");
  dst.copy_from(&src);
  EXPECT_EQ(DATA_IFFF, dst.type());
  EXPECT_EQ(ERR_NO_PROPERTY, dst.error());
  EXPECT_EQ("unknown property", text_of(dst));
  EXPECT_EQ(3.0f, dst.get_ifff()->f2_data);
  dst.set(5);
  EXPECT_EQ(0, dst.error());
  EXPECT_EQ("5", text_of(dst));
}

// --- text forms ----------------------------------------------------------------

TEST(DataText, EveryTypeReadsBackWhatItWrites) {
  struct {
    int type;
    const char* text;
  } cases[] = {
      {DATA_INT, "-12"},
      {DATA_SHORT, "32767"},
      {DATA_LONG, "-9223372036854775808"},
      {DATA_UINT, "4294967295"},
      {DATA_ULONG, "18446744073709551615"},
      {DATA_FLOAT, "0.1"},
      {DATA_FLOAT, "1e+20"},
      {DATA_FLOAT, "-3.4028235e+38"},
      {DATA_DOUBLE, "0.30000000000000004"},
      {DATA_STRING, " two  words\tand tab "},
      {DATA_IIII, "1 -2 3 2147483647"},
      {DATA_IFFF, "7 0.5 -1.25 1e-10"},
      {DATA_TDS, "1700000000 2.5 255"},
      {DATA_SPECTRUM, "1 2.5 -3"},
      {DATA_A_FLOAT, ""},
      {DATA_USTR, "3 1.5 -2 1700000000 text with  blanks"},
      {DATA_USTR, "0 0 0 0\n1 0 0 5 back\\\\slash and new\\nline"},
  };
  for (const auto& c : cases) {
    EqData d = typed(c.type, c.text);
    EXPECT_EQ(c.text, text_of(d)) << "type " << c.type;
    EqData again = typed(c.type, text_of(d));
    EXPECT_EQ(c.text, text_of(again)) << "type " << c.type;
    EXPECT_EQ(c.type, again.type());
  }
}

TEST(DataText, ValuesSurviveTheirText) {
  for (float f : {0.1f, 1.0f / 3, 3.4028235e38f, 1e-45f, -0.0f, 16777217.0f}) {
    EqData d;
    d.set(f);
    EqData back = typed(DATA_FLOAT, text_of(d));
    EXPECT_EQ(f, back.get_float()) << text_of(d);
  }
  EqData u;
  u.set(make_ustr(4, "line one\nline two \\n", 100), 0);
  u.set(make_ustr(5, "", 1), 1);
  EqData back = typed(DATA_USTR, text_of(u));
  EXPECT_EQ((std::vector<std::string>{"line one\nline two \\n", ""}), ustr_texts(back));
  EXPECT_EQ(5, back.get_ustr(1)->i1_data);
}

TEST(DataText, NumbersTakeTheShortestTextThatReadsBack) {
  const std::vector<std::pair<float, std::string>> floats = {
      {20.0f, "20"},    {-80.0f, "-80"}, {100.0f, "100"},         {1e6f, "1e+06"},
      {1e20f, "1e+20"}, {0.3f, "0.3"},   {79.99437f, "79.99437"}, {0.0001f, "0.0001"}};
  for (const auto& c : floats) {
    EqData d;
    d.set(c.first);
    EXPECT_EQ(text_of(d), c.second);
  }
  EqData d;
  d.set(20.0);
  EXPECT_EQ(text_of(d), "20");
  d.set(123456.0);
  EXPECT_EQ(text_of(d), "123456");
}

TEST(DataText, TextThatDoesNotFitIsRefusedAndChangesNothing) {
  struct {
    int type;
    const char* text;
  } bad[] = {
      {DATA_INT, "2147483648"}, {DATA_INT, "2.5"},        {DATA_INT, "12abc"},
      {DATA_INT, ""},           {DATA_INT, "1 2"},        {DATA_INT, "0x10"},
      {DATA_SHORT, "40000"},    {DATA_UINT, "-1"},        {DATA_ULONG, "-0"},
      {DATA_FLOAT, "1e40"},     {DATA_FLOAT, "fast"},     {DATA_IIII, "1 2 3"},
      {DATA_IIII, "1 2 3 4 5"}, {DATA_IFFF, "1.5 2 3 4"}, {DATA_TDS, "1 2 256"},
      {DATA_A_FLOAT, "1 x"},    {DATA_USTR, "1 2 3"},     {DATA_USTR, "a 0 0 0 text"},
      {DATA_NULL, "5"},
  };
  for (const auto& c : bad) {
    EqData d;
    d.set_type(c.type);
    EqData before(d);
    EXPECT_EQ(-1, d.set_from_string(c.text)) << "type " << c.type << " '" << c.text << "'";
    EXPECT_EQ(text_of(before), text_of(d));
  }
  EqData d;
  d.set(17);
  EXPECT_EQ(-1, d.set_from_string("seventeen"));
  EXPECT_EQ(17, d.get_int());
  EXPECT_EQ(0, d.set_from_string("1e+06"));  // an integral number in range
  EXPECT_EQ(1000000, d.get_int());
}

TEST(DataText, GetStringStaysInsideTheBuffer) {
  EqData d;
  d.set("abcdefgh");
  char buf[8];
  memset(buf, '#', sizeof buf);
  EXPECT_EQ(buf, d.get_string(buf, 0));
  EXPECT_EQ('#', buf[0]);
  d.get_string(buf, 1);
  EXPECT_EQ('\0', buf[0]);
  EXPECT_EQ('#', buf[1]);
  d.get_string(buf, 5);
  EXPECT_STREQ("abcd", buf);
  EXPECT_EQ('#', buf[5]);
  EXPECT_EQ(nullptr, d.get_string(nullptr, 10));

  d.error(ERR_NO_LOCATION, "unknown location");
  EXPECT_EQ("unknown location", text_of(d));
  d.error(999, "");
  EXPECT_EQ("error 999", text_of(d));
  d.error(0, "");
  EXPECT_EQ("abcdefgh", text_of(d));
}

// --- USTR ----------------------------------------------------------------------

TEST(DataUstr, TextIsCopiedWithinItsStatedLength) {
  char unterminated[4] = {'a', 'b', 'c', 'd'};
  EqData d;
  d.set(make_ustr(1, unterminated, 4), 0);  // no terminator: the length bounds it
  d.set(make_ustr(2, "xy", 200), 1);        // a length beyond the text
  d.set(make_ustr(3, nullptr, 50), 2);      // no text at all
  d.set(make_ustr(4, "long text", 4), 3);   // cut at the length
  EXPECT_EQ((std::vector<std::string>{"abcd", "xy", "", "long"}), ustr_texts(d));
  EXPECT_EQ(4u, d.get_ustr(0)->str_data.str_data_len);
  EXPECT_EQ(3u, d.get_ustr(1)->str_data.str_data_len);
  EXPECT_EQ(1u, d.get_ustr(2)->str_data.str_data_len);
  unterminated[0] = 'z';
  EXPECT_STREQ("abcd", d.get_ustr(0)->str_data.str_data_val);
  EXPECT_EQ(nullptr, d.get_ustr(4));
  EXPECT_EQ(nullptr, d.get_ustr(-1));
}

TEST(DataUstr, CopiesOwnTheirTextsAndGrowingKeepsPointersValid) {
  EqData* src = new EqData;
  src->set(make_ustr(1, "first", 6), 0);
  // Grows the array from the container's own element: the source text must
  // be taken before the elements move.
  src->set(*src->get_ustr(0), 40);
  EqData copy;
  copy.copy_from(src);
  EqData assigned;
  assigned = *src;
  delete src;
  EXPECT_EQ(41, copy.length());
  EXPECT_STREQ("first", copy.get_ustr(40)->str_data.str_data_val);
  EXPECT_STREQ("first", assigned.get_ustr(0)->str_data.str_data_val);
  EXPECT_STREQ("", copy.get_ustr(39)->str_data.str_data_val);
  int i1 = 0;
  long tm = 0;
  char* text = nullptr;
  EXPECT_EQ(1, copy.get_ustr(&i1, nullptr, nullptr, &tm, &text, 40));
  EXPECT_EQ(1, i1);
  EXPECT_EQ(1700000000L, tm);
  EXPECT_STREQ("first", text);
  EXPECT_EQ(0, copy.get_ustr(&i1, nullptr, nullptr, &tm, &text, 41));
}

// --- addresses -----------------------------------------------------------------

TEST(AddressText, OddTextsParseWithoutCrashing) {
  struct {
    const char* text;
    const char* parts[4];
  } cases[] = {
      {"", {"", "", "", ""}},
      {"FAC", {"FAC", "", "", ""}},
      {"FAC/DEV", {"FAC", "DEV", "", ""}},
      {"////", {"", "", "", "/"}},
      {"F/D/L/P/extra", {"F", "D", "L", "P/extra"}},
      {"F/D//P", {"F", "D", "", "P"}},
      {"F\\/X/D\\\\/L/P", {"F/X", "D\\", "L", "P"}},
      {"F/D/L/P\\", {"F", "D", "L", "P\\"}},
      {"a\\b/ c /\n/\t", {"a\\b", " c ", "\n", "\t"}},
  };
  for (const auto& c : cases) {
    EqAdr a;
    a.adr(c.text);
    EXPECT_STREQ(c.parts[0], a.facility()) << c.text;
    EXPECT_STREQ(c.parts[1], a.device()) << c.text;
    EXPECT_STREQ(c.parts[2], a.location()) << c.text;
    EXPECT_STREQ(c.parts[3], a.property()) << c.text;
  }
}

TEST(AddressText, ShownTextParsesBackIntoTheSameParts) {
  const char* parts[][4] = {
      {"FAC", "DEV", "LOC", "PROP"},
      {"a/b", "c\\", "\\/", "/"},
      {"", "", "", ""},
      {"F", "D", "L", "P/Q/R"},
  };
  for (const auto& p : parts) {
    EqAdr a;
    a.set(p[0], p[2], p[1], p[3]);  // facility, location, device, property
    EXPECT_STREQ(p[1], a.device());
    EqAdr b;
    b.adr(a.show_adr());
    EXPECT_STREQ(p[0], b.facility()) << a.show_adr();
    EXPECT_STREQ(p[1], b.device()) << a.show_adr();
    EXPECT_STREQ(p[2], b.location()) << a.show_adr();
    EXPECT_STREQ(p[3], b.property()) << a.show_adr();
  }
  EqAdr a;
  a.adr("FAC/DEV/LOC/PROP");
  EXPECT_EQ("FAC/DEV/LOC/PROP", a.show_adr());
  a.set_location("L2");
  a.set_property("P2");
  EXPECT_EQ("FAC/DEV/L2/P2", a.show_adr());
}

// --- registry and client calls ---------------------------------------------------

TEST_F(Served, AddressesThatNameNothingGiveTheirCodes) {
  struct {
    const char* address;
    int code;
    const char* text;
  } cases[] = {
      {"OTHER/DEV/L1/COUNT", ERR_NO_SERVER, "unknown server"},
      {"FAC/OTHER/L1/COUNT", ERR_NO_SERVER, "unknown server"},
      {"FAC/DEV/L9/COUNT", ERR_NO_LOCATION, "unknown location"},
      {"FAC/DEV/L1/NOPE", ERR_NO_PROPERTY, "unknown property"},
      {"FAC/DEV/L1/", ERR_NO_PROPERTY, "unknown property"},
      {"FAC/DEV/L1/COUNT number", ERR_NO_PROPERTY, "unknown property"},
      {"FAC/DEV/*/COUNT", ERR_BAD_ADDRESS, "illegal address"},
      {"FAC/DEV/L1/*", ERR_BAD_ADDRESS, "illegal address"},
      {"FAC/DEV//COUNT", ERR_NO_LOCATION, "unknown location"},
      {"", ERR_NO_SERVER, "unknown server"},
  };
  for (const auto& c : cases) {
    EqData result;
    result.set(99);
    EXPECT_EQ(c.code, get(c.address, &result)) << c.address;
    EXPECT_EQ(c.code, result.error()) << c.address;
    EXPECT_EQ(c.text, text_of(result)) << c.address;
    EqData value;
    value.set(1);
    EXPECT_EQ(c.code, set(c.address, &value, &result)) << c.address;
  }
  EXPECT_EQ(0, count.value());
  EXPECT_EQ(ERR_BAD_ADDRESS, call.get(nullptr, nullptr, nullptr));

  norix::clear_served();
  EqData result;
  EXPECT_EQ(ERR_NO_SERVER, get("FAC/DEV/L1/COUNT", &result));
}

TEST_F(Served, GetAndSetReachTheProperty) {
  EqData value;
  EqData result;
  value.set(41);
  EXPECT_EQ(0, set("FAC/DEV/L1/COUNT", &value, &result));
  EXPECT_EQ(41, count.value());
  EXPECT_EQ(0, get("FAC/DEV/L1/COUNT", &result));
  EXPECT_EQ(DATA_INT, result.type());
  EXPECT_EQ(41, result.get_int());

  value.set(IFFF{1, 0.5f, 2, 3});
  EXPECT_EQ(0, set("FAC/DEV/L1/FILT", &value, &result));
  value.set("5 6 7 8");
  EXPECT_EQ(0, set("FAC/DEV/L1/QUAD", &value, &result));
  value.set("hello there");
  EXPECT_EQ(0, set("FAC/DEV/L1/NOTE", &value, &result));
  EXPECT_EQ(0, set("FAC/DEV/L1/LABEL", &value, &result));
  EXPECT_EQ(0.5f, filt.value()->f1_data);
  EXPECT_EQ(8, quad.value()->i4_data);
  EXPECT_STREQ("hello there", note.value()->str_data.str_data_val);
  EXPECT_STREQ("hello there", label.value());
  EXPECT_EQ(0, get("FAC/DEV/L1/NOTE", &result));
  EXPECT_EQ(DATA_USTR, result.type());
  EXPECT_STREQ("hello there", result.get_ustr(0)->str_data.str_data_val);

  // A history is not writable by clients.
  value.set(1.0f);
  EXPECT_EQ(ERR_ILLEGAL_WRITE, set("FAC/DEV/L1/TREND", &value, &result));
}

TEST_F(Served, WritesConvertBetweenNumbersAndRefuseOtherTypes) {
  EqData value;
  EqData result;
  value.set(2.9f);
  EXPECT_EQ(0, set("FAC/DEV/L1/COUNT", &value, &result));
  EXPECT_EQ(2, count.value());
  value.set(-7);
  EXPECT_EQ(0, set("FAC/DEV/L1/GAIN", &value, &result));
  EXPECT_EQ(-7.0f, gain.value());
  value.set("12");
  EXPECT_EQ(0, set("FAC/DEV/L1/COUNT", &value, &result));
  EXPECT_EQ(12, count.value());

  struct {
    const char* address;
    EqData value;
  } refused[6];
  refused[0] = {"FAC/DEV/L1/COUNT", typed(DATA_STRING, "twelve")};
  refused[1] = {"FAC/DEV/L1/COUNT", typed(DATA_LONG, "4294967296")};
  refused[2] = {"FAC/DEV/L1/GAIN", typed(DATA_IIII, "1 2 3 4")};
  refused[3] = {"FAC/DEV/L1/QUAD", typed(DATA_STRING, "1 2 3")};
  refused[4] = {"FAC/DEV/L1/NOTE", typed(DATA_INT, "3")};
  refused[5] = {"FAC/DEV/L1/GAIN", typed(DATA_DOUBLE, "1e300")};
  for (auto& r : refused) {
    EXPECT_EQ(ERR_WRONG_TYPE, set(r.address, &r.value, &result)) << r.address;
    EXPECT_EQ("wrong data type", text_of(result));
  }
  EXPECT_EQ(12, count.value());
  EXPECT_EQ(-7.0f, gain.value());
  EXPECT_EQ(0, quad.value()->i1_data);
  EXPECT_EQ(ERR_WRONG_TYPE, set("FAC/DEV/L1/COUNT", nullptr, &result));
}

TEST_F(Served, NamesListLocationsAndPropertiesInCreationOrder) {
  EqFct second("NAME = location");
  second.set_name("L2");
  norix::serve_location(&second);
  norix::serve_location(&loc);  // a second serve changes nothing

  EqAdr a;
  a.adr("FAC/DEV/*/");
  EqData result;
  ASSERT_EQ(0, call.names(&a, &result));
  EXPECT_EQ((std::vector<std::string>{"L1", "L2"}), ustr_texts(result));

  a.adr("FAC/DEV/L1/*");
  ASSERT_EQ(0, call.names(&a, &result));
  EXPECT_EQ((std::vector<std::string>{"COUNT number of things", "GAIN amplifier gain",
                                      "LABEL a text", "QUAD four numbers", "FILT a filter",
                                      "NOTE a note", "TREND a history"}),
            ustr_texts(result));
  std::vector<int> types;
  for (int i = 0; i < result.length(); ++i)
    types.push_back(result.get_ustr(i)->i1_data);
  EXPECT_EQ((std::vector<int>{1, 2, 3, 14, 15, 103, 101}), types);

  a.adr("FAC/DEV/L2/*");
  ASSERT_EQ(0, call.names(&a, &result));
  EXPECT_EQ(DATA_USTR, result.type());
  EXPECT_EQ(0, result.length());

  a.adr("FAC/*");
  ASSERT_EQ(0, call.names(&a, &result));
  EXPECT_EQ((std::vector<std::string>{"DEV"}), ustr_texts(result));
  a.adr("FAC/DEV/L3/*");
  EXPECT_EQ(ERR_NO_LOCATION, call.names(&a, &result));
  a.adr("XYZ/DEV/*");
  EXPECT_EQ(ERR_NO_SERVER, call.names(&a, &result));

  norix::unserve_location(&second);
  a.adr("FAC/DEV/*");
  ASSERT_EQ(0, call.names(&a, &result));
  EXPECT_EQ((std::vector<std::string>{"L1"}), ustr_texts(result));
}

TEST_F(Served, MonitorFallsBackOnlyWhereUnmonitorable) {
  count.set_value(3);
  EqAdr a;
  a.adr("FAC/DEV/L1/COUNT");
  EqData request;
  EqData result;
  EQ_CB all_ones = reinterpret_cast<EQ_CB>(-1L);
  EXPECT_EQ(0, call.get_monitor(&a, &request, &result, 1, 1.0f, all_ones, nullptr));
  EXPECT_EQ(3, result.get_int());

  norix::set_unmonitorable("FAC/DEV/L1/COUNT", true);
  EXPECT_EQ(ERR_NOT_MONITORED, call.get_monitor(&a, &request, &result, 1, 1.0f, all_ones, nullptr));
  EXPECT_EQ("monitor not available", text_of(result));
  EXPECT_EQ(0, call.get(&a, &request, &result));
  EXPECT_EQ(3, result.get_int());
  EqAdr other;
  other.adr("FAC/DEV/L1/GAIN");
  EXPECT_EQ(0, call.get_monitor(&other, &request, &result, 1, 1.0f, all_ones, nullptr));

  norix::set_unmonitorable("FAC/DEV/L1/COUNT", false);
  EXPECT_EQ(0, call.get_monitor(&a, &request, &result, 1, 1.0f, all_ones, nullptr));

  long before = norix::update_count();
  call.update(1);
  call.update(1);
  EXPECT_EQ(before + 2, norix::update_count());
}

TEST_F(Served, UnserveWaitsForACallInFlight) {
  D_gate gate("GATE held get", &loc);
  std::atomic<int> got{0};
  std::thread client([&] {
    EqData result;
    get("FAC/DEV/L1/GATE", &result);
    got = result.get_int();
  });
  ASSERT_TRUE(gate.wait_entered());
  std::atomic<bool> unserved{false};
  std::thread host([&] {
    norix::unserve_location(&loc);
    unserved = true;
  });
  // The unserve cannot finish while the get runs; a later call no longer
  // finds the location.
  EqData result;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (get("FAC/DEV/L1/COUNT", &result) == 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::yield();
  }
  EXPECT_EQ(ERR_NO_LOCATION, get("FAC/DEV/L1/COUNT", &result));
  EXPECT_FALSE(unserved);
  gate.release();
  client.join();
  host.join();
  EXPECT_TRUE(unserved);
  EXPECT_EQ(7, got);
}

TEST_F(Served, EngineWritesAndClientReadsDoNotRace) {
  USTR start = make_ustr(0, "value 0", 8);
  note.set_value(&start);
  std::atomic<bool> done{false};
  std::thread engine([&] {
    for (int i = 1; i <= 2000; ++i) {
      count.set_value(i);
      IIII q{i, i, i, i};
      quad.set_value(&q);
      std::string text = "value " + std::to_string(i);
      USTR u = make_ustr(i, text.c_str(), static_cast<unsigned>(text.size() + 1));
      note.set_value(&u);
      label.set_value(text.c_str());
    }
    done = true;
  });
  int last = 0;
  bool ordered = true;
  while (!done) {
    EqData result;
    get("FAC/DEV/L1/COUNT", &result);
    ordered = ordered && result.get_int() >= last;
    last = result.get_int();
    get("FAC/DEV/L1/QUAD", &result);
    const IIII* q = result.get_iiii();
    ordered = ordered && q->i1_data == q->i4_data;
    get("FAC/DEV/L1/NOTE", &result);
    ordered = ordered && std::string(result.get_ustr(0)->str_data.str_data_val) ==
                             "value " + std::to_string(result.get_ustr(0)->i1_data);
    get("FAC/DEV/L1/LABEL", &result);
  }
  engine.join();
  EXPECT_TRUE(ordered);
}

TEST_F(Served, RecordReadersHoldingOpLockSeeWholeRecords) {
  std::atomic<bool> done{false};
  std::thread client([&] {
    EqData value;
    EqData result;
    for (int i = 1; i <= 2000; ++i) {
      value.set(IIII{i, i, i, i});
      set("FAC/DEV/L1/QUAD", &value, &result);
    }
    done = true;
  });
  bool whole = true;
  while (!done) {
    pthread_mutex_lock(quad.op_lock());
    IIII copy = *quad.value();
    pthread_mutex_unlock(quad.op_lock());
    whole = whole && copy.i1_data == copy.i4_data;
  }
  client.join();
  EXPECT_TRUE(whole);
  EXPECT_EQ(2000, quad.value()->i2_data);
  note.set_value(note.value());  // its own record: the text survives
  USTR u = make_ustr(1, "kept", 5);
  note.set_value(&u);
  note.set_value(note.value());
  EXPECT_STREQ("kept", note.value()->str_data.str_data_val);
}

// --- properties and locations -------------------------------------------------

TEST(PropertyList, PropertiesLeaveTheListAndOutliveTheirLocation) {
  EqFct* loc = new EqFct("NAME = location");
  D_fct* a = new norix::D_value<int>("A first", loc);
  D_fct* b = new D_string("B second", loc);
  D_fct* c = new D_iiii("  C third", loc);
  EXPECT_EQ(3u, loc->properties().size());
  EXPECT_EQ(c, loc->find_property("C"));
  EXPECT_EQ("C", c->name());
  EXPECT_STREQ("third", c->comment());
  delete b;
  EXPECT_EQ((std::vector<D_fct*>{a, c}), loc->properties());
  EXPECT_EQ(nullptr, loc->find_property("B"));
  delete loc;
  EXPECT_EQ(nullptr, a->owner());
  EXPECT_EQ(nullptr, c->owner());
  delete a;  // must not touch the destroyed location
  delete c;
  D_fct orphan("ORPHAN none", nullptr);
  EXPECT_EQ(nullptr, orphan.owner());
}

TEST(PropertyList, DestroyedLocationIsNoLongerServed) {
  norix::clear_served();
  norix::set_server("F", "D");
  {
    EqFct loc("NAME = location");
    loc.set_name("GONE");
    norix::serve_location(&loc);
  }
  EqAdr a;
  a.adr("F/D/GONE/X");
  EqCall call;
  EqData result;
  EXPECT_EQ(ERR_NO_LOCATION, call.get(&a, nullptr, &result));
  norix::clear_served();
}

TEST(LocationError, ErrorCodeAndTextAndStatus) {
  EqFct loc("NAME = location");
  loc.set_error(ERR_NO_LOCATION);
  EXPECT_EQ(ERR_NO_LOCATION, loc.get_error());
  EXPECT_EQ("unknown location", loc.get_errorstr());
  loc.set_error("details");
  EXPECT_EQ(ERR_NO_LOCATION, loc.get_error());
  loc.set_error(5, static_cast<const char*>(nullptr));
  EXPECT_EQ("", loc.get_errorstr());
  loc.set_error(0);
  std::ostringstream out;
  loc.write_error(out);
  loc.write_error(out, ERR_WRONG_TYPE);
  EXPECT_EQ("error 0: ok\nerror 106: wrong data type\n", out.str());
  loc.gen_sts().online(1);
  loc.gen_sts().error(2);
  EXPECT_EQ(1, loc.gen_sts().online());
  EXPECT_EQ(2, loc.gen_sts().error());
}

// --- saved values ----------------------------------------------------------

TEST(SavedValues, WrittenLinesLoadBackIntoTheProperties) {
  EqFct loc("NAME = location");
  norix::D_value<int> n("N count", &loc);
  norix::D_value<float> f("F gain", &loc);
  D_string s("S label", &loc);
  D_iiii q("Q not saved", &loc);
  n.set_value(-5);
  f.set_value(0.1f);
  s.set_value("two words");
  std::ostringstream out;
  loc.write(out);
  EXPECT_EQ("N \t-5\nF \t0.1\nS \ttwo words\n", out.str());

  EXPECT_EQ(nullptr, n.find_prop_name());
  n.read();  // nothing loaded: unchanged
  EXPECT_EQ(-5, n.value());

  EqFct fresh("NAME = location");
  norix::D_value<int> n2("N count", &fresh);
  norix::D_value<float> f2("F gain", &fresh);
  D_string s2("S label", &fresh);
  std::istringstream in(out.str() + "UNKNOWN \t1\nN \tnot a number\n");
  EXPECT_EQ(2, norix::load_config(&fresh, in));
  EXPECT_EQ(-5, n2.value());
  EXPECT_EQ(0.1f, f2.value());
  EXPECT_STREQ("two words", s2.value());
  ASSERT_NE(nullptr, n2.find_prop_name());
  EXPECT_EQ("N", n2.find_prop_name()->name);

  // A USTR-style saved line fills the whole record.
  std::istringstream ustr_line("N \t1 2.5 0 1700000000 \"state : text\"\n");
  EXPECT_EQ(0, norix::load_config(&fresh, ustr_line));
  const D_conf_ustr& rec = n2.find_prop_name()->d_ustr;
  EXPECT_EQ(1, rec.i1_data);
  EXPECT_EQ(2.5f, rec.f1_data);
  EXPECT_EQ(1700000000, rec.tm);
  EXPECT_EQ("state : text", rec.d_name);
}

TEST(SavedValues, ConfInsertRegistersOnce) {
  D_fct p("P property", nullptr);
  Config conf;
  p.conf_insert(&conf, 16);
  p.conf_insert(&conf, 16);
  ASSERT_EQ(1u, conf.entries.size());
  EXPECT_EQ(&p, conf.entries[0].property);
  EXPECT_EQ(16, conf.entries[0].flags);
}

// --- histories and archives -----------------------------------------------------

TEST(History, RingKeepsTheNewestSamplesOldestFirst) {
  D_hist h("H history", nullptr, 3);
  for (int i = 1; i <= 5; ++i) {
    TDS s{100 + i, static_cast<float>(i), 0};
    int status = i;
    h.fill_hist(&s, i == 5 ? &status : nullptr);
  }
  h.fill_hist(nullptr, nullptr);
  EXPECT_EQ(3, h.sample_count());
  TDS out[4];
  ASSERT_EQ(3, h.samples(out, 4));
  EXPECT_EQ(103, out[0].tm);
  EXPECT_EQ(5.0f, out[2].data);
  EXPECT_EQ(5, out[2].status);
  ASSERT_EQ(2, h.samples(out, 2));  // the two newest
  EXPECT_EQ(4.0f, out[0].data);
  EXPECT_EQ(0, h.samples(nullptr, 2));

  EqData result;
  h.get(nullptr, nullptr, &result, nullptr);
  EXPECT_EQ(DATA_A_FLOAT, result.type());
  EXPECT_EQ("3 4 5", text_of(result));

  D_hist tiny("T history", nullptr, 0);  // at least one sample is kept
  TDS s{1, 9, 0};
  tiny.fill_hist(&s, nullptr);
  EXPECT_EQ(1, tiny.sample_count());
}

TEST(History, BookedSamplesGoToTheArchiveFiles) {
  std::string hist = temp_path("M.hist");
  std::string data = temp_path("M.data");
  {
    ArchiveFile archive(hist, data.c_str(), true);
    D_hist h("TREND the trend", nullptr);
    D_hist other("LEVEL a level", nullptr);
    h.book_hist(&archive, "M loc", ring_buffer, 200);
    h.book_hist(&archive, "M loc", ring_buffer, 200);  // booked again: one history line
    other.book_hist(&archive, "M loc", ring_buffer, 200);
    EXPECT_EQ(&archive, h.archive());
    EXPECT_EQ(2, h.booked_count());
    TDS s{1700000000, 2.5f, 1};
    h.fill_hist(&s, nullptr);
    s.data = 5;
    other.fill_hist(&s, nullptr);
    EXPECT_EQ(0, archive.failed_writes());
  }
  EXPECT_EQ((std::vector<std::string>{"M_loc/TREND", "M_loc/LEVEL"}), file_lines(hist));
  EXPECT_EQ(
      (std::vector<std::string>{"M_loc/TREND 1700000000 2.5 1", "M_loc/LEVEL 1700000000 5 1"}),
      file_lines(data));

  ArchiveFile again(hist, data.c_str(), false);  // appends
  D_hist h("TREND the trend", nullptr);
  h.book_hist(&again, "M", 0, 200);
  EXPECT_EQ(3u, file_lines(hist).size());
  unlink(hist.c_str());
  unlink(data.c_str());
}

TEST(History, ArchiveAndHistoryMayGoInEitherOrder) {
  std::string hist = temp_path("order.hist");
  std::string data = temp_path("order.data");
  D_hist first("FIRST h", nullptr);
  ArchiveFile* archive = new ArchiveFile(hist, data.c_str(), true);
  first.book_hist(archive, "M", 0, 200);
  {
    D_hist second("SECOND h", nullptr);
    second.book_hist(archive, "M", 0, 200);
  }                // the history goes first: the archive forgets it
  delete archive;  // the archive goes first: the history forgets it
  EXPECT_EQ(nullptr, first.archive());
  TDS s{1, 2, 3};
  first.fill_hist(&s, nullptr);
  EXPECT_EQ(1, first.sample_count());
  EXPECT_EQ(0u, file_lines(data).size());

  ArchiveFile broken(temp_path("no/such/dir.hist"), temp_path("no/such/dir.data").c_str(), false);
  first.book_hist(&broken, "M", 0, 200);
  first.fill_hist(&s, nullptr);
  EXPECT_EQ(2, broken.failed_writes());
  unlink(hist.c_str());
  unlink(data.c_str());
}

TEST(History, SamplesFromManyThreadsAreAllKept) {
  std::string data = temp_path("threads.data");
  ArchiveFile archive("", data.c_str(), true);
  D_hist h("H history", nullptr, 1000);
  h.book_hist(&archive, "M", 0, 200);
  std::vector<std::thread> writers;
  for (int t = 0; t < 4; ++t) {
    writers.emplace_back([&h, t] {
      for (int i = 0; i < 100; ++i) {
        TDS s{t, static_cast<float>(i), 0};
        h.fill_hist(&s, nullptr);
      }
    });
  }
  EqData result;
  h.get(nullptr, nullptr, &result, nullptr);  // a client read meanwhile
  for (std::thread& w : writers)
    w.join();
  EXPECT_EQ(400, h.sample_count());
  EXPECT_EQ(400u, file_lines(data).size());
  unlink(data.c_str());
}

}  // namespace
