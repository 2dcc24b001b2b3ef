// data_routing_test.cc - handles to data items and to location properties
// (levels, positions, adopted superstates), typed reads and writes of every
// property type, and the data locks.

#include <gtest/gtest.h>
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
// sub (data items "first" and "num") holding leaf; flow 1 adopts "part".
void create_top(EqFSMlocation* loc) {
  loc->norix_data = {
      new norix::D_value<int>("IVAL an int", loc), new norix::D_value<float>("FVAL a float", loc),
      new D_iiii("QVAL four ints", loc),           new D_dig_filter("RVAL a filter", loc),
      new D_hist("HIST a history", loc),           new D_ustr("UVAL a text", loc),
      new D_string("SVAL a plain string", loc)};
  loc->norix_address.push_back(new D_string("ADDR the device address", loc));
  sub = new FSMsuperstate(nullptr, "sub", "", 5);
  leaf = new FSMstate("leaf", "", 7);
  loc->state_ptr->add_state(0, sub);
  sub->add_state(0, leaf);
  sub->add_data("first", nullptr, nullptr);
  sub->add_data("num", nullptr, nullptr);
  loc->state_ptr->add_reference(1, "part");
}

// Superstate location "part": an IVAL of its own; its flow holds inner.
void create_part(EqFSMlocation* loc) {
  loc->norix_data.push_back(new norix::D_value<int>("IVAL the part's own", loc));
  inner = new FSMsuperstate(nullptr, "inner", "", 5);
  loc->state_ptr->add_state(0, inner);
}

// One typed access through handle h of st, with arg as the value written;
// what a read gave, as text, in *got. -2 for an unknown operation.
int apply(const std::string& op, FSMstate* st, int h, std::string arg, std::string* got) {
  std::istringstream in(arg);
  int i = 0;
  float f = 0;
  char* text = nullptr;
  IIII q{};
  IFFF r{};
  TDS t{};
  int rc = -2;
  if (op == "get_int") rc = st->data_get(h, &i, 0);
  if (op == "get_float") rc = st->data_get(h, &f, 0);
  if (op == "get_text") rc = st->data_get(h, &text, 0);
  if (op == "get_iiii") rc = st->data_get(h, &q, 0);
  if (op == "get_ifff") rc = st->data_get(h, &r, 0);
  if (op == "set_int" && in >> i) rc = st->data_set(h, i, 0);
  if (op == "set_float" && in >> f) rc = st->data_set(h, f, 0);
  if (op == "set_text") rc = st->data_set(h, &arg[0], 0);
  if (op == "set_iiii" && in >> q.i1_data >> q.i2_data >> q.i3_data >> q.i4_data) {
    rc = st->data_set(h, &q, 0);
  }
  if (op == "set_ifff" && in >> r.i1_data >> r.f1_data >> r.f2_data >> r.f3_data) {
    rc = st->data_set(h, &r, 0);
  }
  if (op == "set_tds" && in >> t.tm >> t.data) rc = st->data_set(h, &t, 0);
  std::ostringstream out;
  if (op == "get_int") out << i;
  if (op == "get_float") out << f;
  if (op == "get_text") out << (text != nullptr ? text : "");
  if (op == "get_iiii")
    out << q.i1_data << ' ' << q.i2_data << ' ' << q.i3_data << ' ' << q.i4_data;
  if (op == "get_ifff")
    out << r.i1_data << ' ' << r.f1_data << ' ' << r.f2_data << ' ' << r.f3_data;
  delete[] text;
  *got = out.str();
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
  m.set("IVAL", "-5");
  m.set("IVAL", "11", "PART");
  leaf->data_set((1 << 20) | 1, 5, 0);
  FSMsuperstate* root = m.root();
  root->add_data("FVAL", nullptr, nullptr);  // hides the property below the root
  struct Case {
    FSMstate* from;
    const char* name;
    int handle;
    int value;  // read through the handle as an int; 0: not read
  };
  const Case cases[] = {{root, "IVAL", net(0, 0), -5},
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
                        {inner, "QVAL", net(2, 2), 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.from->get_name()) + " " + c.name);
    int h = c.from->data_open(c.name, 0);
    EXPECT_EQ(h, c.handle);
    int v = 0;
    EXPECT_EQ(c.value != 0 ? c.from->data_get(h, &v, 0) : 0, 0);
    EXPECT_EQ(v, c.value);
  }
  int v = 0;
  EXPECT_EQ(root->data_get(net(0, 7), &v, 0), -1);  // one past the last property
  EXPECT_EQ(leaf->data_get((1 << 20) | 2, &v, 0), -1);
  // A level must fit eleven bits: 2047 levels below the root, not 2048.
  std::vector<std::unique_ptr<FSMstate>> chain;
  for (int i = 0; i < 2046; ++i) {
    chain.push_back(std::make_unique<FSMstate>("c", nullptr, 7));
    chain.back()->set_parent(i == 0 ? root : chain[i - 1].get());
  }
  FSMsuperstate deep(nullptr, "deep", "", 5);
  FSMsuperstate deeper(nullptr, "deeper", "", 5);
  deep.set_parent(chain.back().get());
  deeper.set_parent(&deep);
  EXPECT_EQ(deep.data_open("IVAL", 0), net(2047, 0));
  EXPECT_EQ(deep.data_open("FVAL", 0), 2047 << 20);
  EXPECT_EQ(deeper.data_open("IVAL", 0), -1);
  EXPECT_EQ(deeper.data_open("FVAL", 0), -1);
}

TEST(DataRouting, EveryTypeServesItsOperationsAndRefusesTheOthers) {
  // Rows "operation|properties|argument|result", a line's rows apart by
  // ';', run in order through handles that leaf opens. The result is what a
  // read gives or, for a write, the property's value afterwards as a client
  // reads it; "-" is a refusal (-1), which changes nothing; "" goes unchecked.
  const char* lines[] = {
      "set_int|IVAL|-5|-5; set_int|HIST|5|5; set_int|FVAL QVAL RVAL UVAL SVAL|12|-",
      "set_float|FVAL|1.5|1.5; set_float|HIST|2.5|5 2.5; set_float|IVAL QVAL RVAL UVAL SVAL|2|-",
      "set_iiii|QVAL|1 2 3 4|1 2 3 4; set_iiii|IVAL FVAL RVAL HIST UVAL SVAL|1 1 1 1|-",
      "set_ifff|RVAL|7 0.5 0.25 0.125|7 0.5 0.25 0.125",
      "set_ifff|IVAL FVAL QVAL HIST UVAL SVAL|1 1 1 1|-; set_text|UVAL|hello|hello",
      "set_tds|HIST|77 4.5 3|5 2.5 4.5; set_tds|IVAL FVAL QVAL RVAL UVAL SVAL|77 4.5 3|-",
      "get_int|IVAL||-5; get_int|FVAL||1; get_int|QVAL RVAL HIST UVAL SVAL||-",
      "get_float|IVAL||-5; get_float|FVAL||1.5; get_float|QVAL RVAL HIST UVAL SVAL||-",
      "get_text|IVAL||-5; get_text|FVAL||1.500000; get_text|QVAL||1 2 3 4",
      "get_text|RVAL||7 0.500000 0.250000 0.125000; get_text|UVAL||hello; get_text|HIST SVAL||-",
      "get_iiii|QVAL||1 2 3 4; get_iiii|IVAL FVAL RVAL HIST UVAL SVAL||-",
      "get_ifff|RVAL||7 0.5 0.25 0.125; get_ifff|IVAL FVAL QVAL HIST UVAL SVAL||-",
      // Conversions: toward zero, and only texts that begin with a number.
      "set_float|FVAL|2.9|2.9; get_int|FVAL||2; set_float|FVAL|-2.9|-2.9; get_int|FVAL||-2",
      "set_text|IVAL| 17xyz|17; set_text|IVAL|abc|-; set_text|IVAL|99999999999|-",
      "set_text|FVAL|2.5|2.5; set_text|FVAL|1e99|-; set_text|HIST SVAL|3|-",
      "set_text|QVAL|5 6 7 8|5 6 7 8; set_text|QVAL|1 2 3|5 6 7 8",
      "set_text|RVAL|4 0.5 1.5 2.5|4 0.5 1.5 2.5; set_text|RVAL|1 2 x 4|4 0.5 1.5 2.5",
      // The data item "num" of sub.
      "set_float|num|2.9|; get_int|num||2; get_float|num||2.9; set_iiii|num|1 2 3 4|",
      "get_iiii|num||1 2 3 4; set_text|num|local|; get_text|num||local"};
  testkit::Machine m("TOP", "top", create_top);
  for (const char* line : lines) {
    std::istringstream rows(line);
    for (std::string row; std::getline(rows >> std::ws, row, ';');) {
      std::istringstream in(row);
      std::string op, props, arg, want;
      std::getline(std::getline(std::getline(std::getline(in, op, '|'), props, '|'), arg, '|'),
                   want);
      std::istringstream names(props);
      for (std::string prop; names >> prop;) {
        SCOPED_TRACE(row + " on " + prop);
        int h = leaf->data_open(prop.c_str(), 0);
        std::string before = m.get(prop);
        std::string got;
        EXPECT_EQ(apply(op, leaf, h, arg, &got), want == "-" ? -1 : 0);
        if (want == "-") {
          EXPECT_EQ(m.get(prop), before);
        } else if (op[0] == 'g') {
          EXPECT_EQ(got, want);
        } else if (!want.empty()) {
          EXPECT_EQ(m.get(prop), want);
        }
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
