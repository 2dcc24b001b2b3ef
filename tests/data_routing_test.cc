// data_routing_test.cc - handles to data items and to location properties
// (levels, positions, adopted superstates), typed reads and writes of every
// property type, and the data locks.

#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>

#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "testkit/testkit.h"

namespace {

int net(int level, int index) {
  return static_cast<int>(0x80000000u | (static_cast<unsigned>(level) << 20) |
                          static_cast<unsigned>(index));
}

FSMsuperstate* sub = nullptr;  // made by create_top, owned by its machine
FSMstate* leaf = nullptr;
FSMsuperstate* inner = nullptr;  // made by create_part

// Machine "top": one property of every routed type, one of a type routing
// refuses (SVAL) and an address property. Its root holds the superstate
// sub (with two data items) holding leaf; flow 1 adopts location "part".
void create_top(EqFSMlocation* loc) {
  auto* ival = new norix::D_value<int>("IVAL an int", loc);
  auto* fval = new norix::D_value<float>("FVAL a float", loc);
  auto* qval = new D_iiii("QVAL four ints", loc);
  auto* rval = new D_dig_filter("RVAL a filter", loc);
  auto* uval = new D_ustr("UVAL a text", loc);
  auto* sval = new D_string("SVAL a plain string", loc);
  loc->norix_data = {ival, fval, qval, rval, new D_hist("HIST a history", loc), uval, sval};
  loc->norix_address.push_back(new D_string("ADDR the device address", loc));
  ival->set_value(-5);
  fval->set_value(1.5f);
  IIII q{1, 2, 3, 4};
  qval->set_value(&q);
  IFFF r{7, 0.5f, 0.25f, 0.125f};
  rval->set_value(&r);
  char hello[] = "hello";
  USTR u{3, 1.0f, 2.0f, 99, {6, hello}};
  uval->set_value(&u);
  sval->set_value("plain");
  sub = new FSMsuperstate(nullptr, "sub", "", 5);
  leaf = new FSMstate("leaf", "", 7);
  loc->state_ptr->add_state(0, sub);
  sub->add_state(0, leaf);
  EqData five;
  five.set(5);
  sub->add_data("first", nullptr, nullptr);
  sub->add_data("num", &five, nullptr);
  loc->state_ptr->add_reference(1, "part");
}

// Superstate location "part": its own IVAL; its flow holds inner.
void create_part(EqFSMlocation* loc) {
  auto* own = new norix::D_value<int>("IVAL the part's own", loc);
  own->set_value(11);
  loc->norix_data.push_back(own);
  inner = new FSMsuperstate(nullptr, "inner", "", 5);
  loc->state_ptr->add_state(0, inner);
}

// A property's value as a client reads it.
std::string show(testkit::Machine& m, const std::string& property) {
  return m.get(property, "TOP");
}

// One typed access through handle h of st; a read's result as text in *got.
int apply(const std::string& op, FSMstate* st, int h, const char* arg, std::string* got) {
  char buf[128] = "";
  int rc = -1;
  if (op == "get_int") {
    int v = 0;
    rc = st->data_get(h, &v, 0);
    snprintf(buf, sizeof buf, "%d", v);
  } else if (op == "get_float") {
    float v = 0;
    rc = st->data_get(h, &v, 0);
    snprintf(buf, sizeof buf, "%g", static_cast<double>(v));
  } else if (op == "get_text") {
    char* v = nullptr;
    rc = st->data_get(h, &v, 0);
    snprintf(buf, sizeof buf, "%s", v != nullptr ? v : "");
    delete[] v;
  } else if (op == "get_iiii") {
    IIII v{};
    rc = st->data_get(h, &v, 0);
    snprintf(buf, sizeof buf, "%d %d %d %d", v.i1_data, v.i2_data, v.i3_data, v.i4_data);
  } else if (op == "get_ifff") {
    IFFF v{};
    rc = st->data_get(h, &v, 0);
    snprintf(buf, sizeof buf, "%d %g %g %g", v.i1_data, static_cast<double>(v.f1_data),
             static_cast<double>(v.f2_data), static_cast<double>(v.f3_data));
  } else if (op == "set_int") {
    rc = st->data_set(h, atoi(arg), 0);
  } else if (op == "set_float") {
    rc = st->data_set(h, strtof(arg, nullptr), 0);
  } else if (op == "set_text") {
    std::string text = arg;
    rc = st->data_set(h, &text[0], 0);
  } else if (op == "set_iiii") {
    IIII v{};
    sscanf(arg, "%d %d %d %d", &v.i1_data, &v.i2_data, &v.i3_data, &v.i4_data);
    rc = st->data_set(h, &v, 0);
  } else if (op == "set_ifff") {
    IFFF v{};
    sscanf(arg, "%d %f %f %f", &v.i1_data, &v.f1_data, &v.f2_data, &v.f3_data);
    rc = st->data_set(h, &v, 0);
  } else if (op == "set_tds") {
    TDS v{};
    sscanf(arg, "%ld %f %hhu", &v.tm, &v.data, &v.status);
    rc = st->data_set(h, &v, 0);
  }
  *got = buf;
  return rc;
}

// While this thread holds h, another thread's data_lock of h waits until
// data_unlock.
void expect_lock_excludes(FSMstate* st, int h) {
  ASSERT_EQ(st->data_lock(h, 0), 0);
  testkit::Gate trying;
  testkit::Gate acquired;
  std::thread other([&] {
    trying.open();
    st->data_lock(h, 0);
    acquired.open();
    st->data_unlock(h, 0);
  });
  EXPECT_TRUE(trying.wait());
  EXPECT_FALSE(acquired.wait(std::chrono::milliseconds(50)));
  EXPECT_EQ(st->data_unlock(h, 0), 0);
  EXPECT_TRUE(acquired.wait());
  other.join();
}

}  // namespace

TEST(DataRouting, HandlesCountLevelsFromTheOpeningStateAndNearerNamesWin) {
  testkit::Machine m("TOP", "top", create_top);
  EqFSMlocation* part = m.join("PART", "part", create_part);
  ASSERT_EQ(m.start(), 0);
  FSMsuperstate* root = m.root();
  root->add_data("FVAL", nullptr, nullptr);  // hides the property below the root
  struct Case {
    FSMstate* from;
    const char* name;
    int handle;
    int value;  // read through the handle as an int
  };
  const Case cases[] = {
      {root, "IVAL", net(0, 0), -5},
      {sub, "IVAL", net(1, 0), -5},
      {leaf, "SVAL", net(2, 6), 0},
      {root, "IVAL an int", -1, 0},
      {root, "IVA", -1, 0},
      {root, "ADDR", -1, 0},
      {sub, "num", 1, 5},
      {leaf, "num", (1 << 20) | 1, 5},
      {leaf, "FVAL", 2 << 20, 0},
      {leaf, "nothing", -1, 0},
      {inner, "IVAL", net(1, 0), 11},
      {part->state_ptr, "IVAL", net(0, 0), 11},
      {inner, "QVAL", net(2, 2), 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.from->get_name()) + " " + c.name);
    int h = c.from->data_open(c.name, 0);
    EXPECT_EQ(h, c.handle);
    int v = 0;
    if (h != -1 && c.value != 0) {
      EXPECT_EQ(c.from->data_get(h, &v, 0), 0);
    }
    EXPECT_EQ(v, c.value);
  }
  int v = 0;
  EXPECT_EQ(root->data_get(net(0, 7), &v, 0), -1);  // one past the last property
  EXPECT_EQ(leaf->data_get((1 << 20) | 2, &v, 0), -1);

  // A level must fit eleven bits: 2047 levels below the root, not 2048.
  std::vector<std::unique_ptr<FSMstate>> chain;
  FSMstate* parent = root;
  for (int i = 0; i < 2046; ++i) {
    chain.push_back(std::make_unique<FSMstate>("c", nullptr, 7));
    chain.back()->set_parent(parent);
    parent = chain.back().get();
  }
  FSMsuperstate deep(nullptr, "deep", "", 5);
  FSMsuperstate deeper(nullptr, "deeper", "", 5);
  deep.set_parent(parent);
  deeper.set_parent(&deep);
  EXPECT_EQ(deep.data_open("IVAL", 0), net(2047, 0));
  EXPECT_EQ(deep.data_open("FVAL", 0), 2047 << 20);
  EXPECT_EQ(deeper.data_open("IVAL", 0), -1);
  EXPECT_EQ(deeper.data_open("FVAL", 0), -1);
}

TEST(DataRouting, EveryTypeServesItsOperationsAndRefusesTheOthers) {
  // Rows run in order on one machine, through handles opened by leaf. A
  // row may name several properties; `want` is a read's result or, for a
  // write, the property's value afterwards; refused writes change nothing.
  struct Row {
    const char* op;
    const char* props;
    const char* arg;
    int rc;
    const char* want;
  };
  const Row rows[] = {
      {"get_int", "IVAL", "", 0, "-5"},
      {"get_int", "FVAL", "", 0, "1"},
      {"get_float", "IVAL", "", 0, "-5"},
      {"get_float", "FVAL", "", 0, "1.5"},
      {"get_text", "IVAL", "", 0, "-5"},
      {"get_text", "FVAL", "", 0, "1.500000"},
      {"get_text", "QVAL", "", 0, "1 2 3 4"},
      {"get_text", "RVAL", "", 0, "7 0.500000 0.250000 0.125000"},
      {"get_text", "UVAL", "", 0, "hello"},
      {"get_iiii", "QVAL", "", 0, "1 2 3 4"},
      {"get_ifff", "RVAL", "", 0, "7 0.5 0.25 0.125"},
      {"get_int", "QVAL RVAL HIST UVAL SVAL", "", -1, ""},
      {"get_float", "QVAL RVAL HIST UVAL SVAL", "", -1, ""},
      {"get_text", "HIST SVAL", "", -1, ""},
      {"get_iiii", "IVAL FVAL RVAL HIST UVAL SVAL", "", -1, ""},
      {"get_ifff", "IVAL FVAL QVAL HIST UVAL SVAL", "", -1, ""},
      {"set_float", "FVAL", "2.9", 0, "2.9"},
      {"get_int", "FVAL", "", 0, "2"},
      {"set_float", "FVAL", "-2.9", 0, "-2.9"},
      {"get_int", "FVAL", "", 0, "-2"},
      {"set_int", "IVAL", "12", 0, "12"},
      {"set_int", "FVAL QVAL RVAL UVAL SVAL", "12", -1, ""},
      {"set_float", "IVAL QVAL RVAL UVAL SVAL", "2.5", -1, ""},
      {"set_text", "IVAL", " 17xyz", 0, "17"},
      {"set_text", "IVAL", "abc", -1, ""},
      {"set_text", "IVAL", "99999999999", -1, ""},
      {"set_text", "FVAL", "2.5", 0, "2.5"},
      {"set_text", "FVAL", "1e99", -1, ""},
      {"set_text", "QVAL", "5 6 7 8", 0, "5 6 7 8"},
      {"set_text", "QVAL", "1 2 3", 0, "5 6 7 8"},
      {"set_text", "RVAL", "4 0.5 1.5 2.5", 0, "4 0.5 1.5 2.5"},
      {"set_text", "RVAL", "1 2 x 4", 0, "4 0.5 1.5 2.5"},
      {"set_text", "UVAL", "bye", 0, "bye"},
      {"set_text", "HIST SVAL", "3", -1, ""},
      {"set_iiii", "QVAL", "9 8 7 6", 0, "9 8 7 6"},
      {"set_iiii", "IVAL FVAL RVAL HIST UVAL SVAL", "1 1 1 1", -1, ""},
      {"set_ifff", "RVAL", "3 1 2 3", 0, "3 1 2 3"},
      {"set_ifff", "IVAL FVAL QVAL HIST UVAL SVAL", "1 1 1 1", -1, ""},
      {"set_int", "HIST", "5", 0, "5"},
      {"set_float", "HIST", "2.5", 0, "5 2.5"},
      {"set_tds", "HIST", "77 4.5 3", 0, "5 2.5 4.5"},
      {"set_tds", "IVAL FVAL QVAL RVAL UVAL SVAL", "77 4.5 3", -1, ""},
      {"set_int", "num", "-7", 0, ""},
      {"get_float", "num", "", 0, "-7"},
      {"set_float", "num", "2.9", 0, ""},
      {"get_int", "num", "", 0, "2"},
      {"set_iiii", "num", "1 2 3 4", 0, ""},
      {"get_iiii", "num", "", 0, "1 2 3 4"},
      {"set_text", "num", "local", 0, ""},
      {"get_text", "num", "", 0, "local"},
  };
  testkit::Machine m("TOP", "top", create_top);
  for (const Row& row : rows) {
    std::istringstream props(row.props);
    for (std::string prop; props >> prop;) {
      SCOPED_TRACE(std::string(row.op) + " " + prop + " " + row.arg);
      int h = leaf->data_open(prop.c_str(), 0);
      ASSERT_NE(h, -1);
      std::string before = show(m, prop);
      std::string got;
      EXPECT_EQ(apply(row.op, leaf, h, row.arg, &got), row.rc);
      if (row.rc != 0) {
        EXPECT_EQ(show(m, prop), before);
      } else if (row.op[0] == 'g') {
        EXPECT_EQ(got, row.want);
      } else if (row.want[0] != '\0') {
        EXPECT_EQ(show(m, prop), row.want);
      }
    }
  }
}

TEST(DataRouting, TextIntoTheCallersArrayStaysWithin256Bytes) {
  testkit::Machine m("TOP", "top", create_top);
  std::string text(300, 'u');
  int h = leaf->data_open("UVAL", 0);
  ASSERT_EQ(leaf->data_set(h, &text[0], 0), 0);
  char buf[400];
  memset(buf, '#', sizeof buf);
  char* p = buf;
  ASSERT_EQ(leaf->data_get(h, &p, 0), 0);
  EXPECT_EQ(std::string(buf), text.substr(0, 255));
  EXPECT_EQ(std::string(buf + 256, sizeof buf - 256), std::string(sizeof buf - 256, '#'));
}

TEST(DataRouting, DataLockExcludesOtherThreadsUntilUnlock) {
  testkit::Machine m("TOP", "top", create_top);
  // Properties appended after the location's mutex table was made.
  for (const char* late : {"LATE1 added late", "LATE2 added late"})
    m.location()->norix_data.push_back(new norix::D_value<int>(late, m.location()));
  m.location()->bind();
  for (const char* name : {"FVAL", "UVAL", "LATE2", "num"}) {
    SCOPED_TRACE(name);
    expect_lock_excludes(leaf, leaf->data_open(name, 0));
  }
  EXPECT_EQ(leaf->data_lock(net(2, 9), 0), -1);
  EXPECT_EQ(leaf->data_unlock(net(2, 9), 0), -1);
}
