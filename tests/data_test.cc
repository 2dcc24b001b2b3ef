// data_test.cc - a state's data: items bound to device properties (the
// refresh, device errors, writes through to the device), handles to items
// and to location properties, typed access to every property type, the
// data locks.

#include <gtest/gtest.h>
#include <string.h>

#include <sstream>
#include <thread>

#include "testkit/testkit.h"

namespace {

// Each item's value, or "e<code>" for an item that holds an error.
std::string items(const FSMstate& st) {
  std::string out;
  for (FSMstate::local_data* item : st.data) {
    int e = item->eq_data.error();
    out += (e != 0 ? "e" + std::to_string(e) : std::to_string(item->eq_data.get_int())) + " ";
  }
  return out;
}

FSMstate* leaf = nullptr;  // made by create_top, owned by its machine

// Machine "top": one property of every routed type, one of a type routing
// refuses (SVAL), one hidden by a data item of the root, and an address
// property. The root holds the superstate sub (data items "first" and
// "num"), which holds leaf.
void create_top(EqFSMlocation* loc) {
  loc->norix_data = {
      new norix::D_value<int>("IVAL an int", loc), new norix::D_value<float>("FVAL a float", loc),
      new D_iiii("QVAL four ints", loc),           new D_dig_filter("RVAL a filter", loc),
      new D_hist("HIST a history", loc),           new D_ustr("UVAL a text", loc),
      new D_string("SVAL a plain string", loc)};
  loc->norix_data.push_back(new norix::D_value<int>("HIDDEN by an item", loc));
  loc->norix_address.push_back(new D_string("ADDR the device address", loc));
  FSMsuperstate* sub = new FSMsuperstate(nullptr, "sub", "", 5);
  leaf = new FSMstate("leaf", "", 7);
  loc->state_ptr->add_state(0, sub);
  sub->add_state(0, leaf);
  sub->add_data("first", nullptr, nullptr);
  sub->add_data("num", nullptr, nullptr);
  loc->state_ptr->add_data("HIDDEN", nullptr, nullptr);  // hides the property of that name
}

// One typed access through handle h of st, with arg as the value written
// ("open" shows the handle as "net|item <level> <index>" or "none");
// what a read gave, as text, in *got (a text read fills a caller's array
// and shows "!overrun" when it wrote past 256 bytes). -2: unknown operation.
int apply(const std::string& op, FSMstate* st, int h, std::string arg, std::string* got) {
  std::istringstream in(arg);
  int i = 0;
  float f = 0;
  char buf[400];
  char* text = static_cast<char*>(memset(buf, '#', sizeof buf));
  IIII q{};
  IFFF r{};
  TDS t{};
  int rc = -2;
  std::ostringstream out;
  if (op == "open") {
    unsigned u = static_cast<unsigned>(h);
    rc = 0;
    out << (h == -1 ? "none"
                    : (h < 0 ? "net " : "item ") + std::to_string(u >> 20 & 0x7FF) + " " +
                          std::to_string(u & 0xFFFFF));
  }
  if (op == "get_int" && (rc = st->data_get(h, &i, 0)) == 0) out << i;
  if (op == "get_float" && (rc = st->data_get(h, &f, 0)) == 0) out << f;
  if (op == "get_text" && (rc = st->data_get(h, &text, 0)) == 0) out << text;
  if (op == "get_iiii" && (rc = st->data_get(h, &q, 0)) == 0) {
    out << q.i1_data << ' ' << q.i2_data << ' ' << q.i3_data << ' ' << q.i4_data;
  }
  if (op == "get_ifff" && (rc = st->data_get(h, &r, 0)) == 0) {
    out << r.i1_data << ' ' << r.f1_data << ' ' << r.f2_data << ' ' << r.f3_data;
  }
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
  if (std::string(buf + 256, 144) != std::string(144, '#')) out << "!overrun";
  *got = out.str();
  return rc;
}

}  // namespace

TEST(Data, RefreshReadsBoundItemsAndTheFirstDeviceErrorIsTheStates) {
  testkit::Device dev("DEV");
  dev.add("A", 42);
  dev.add("B", 7)->fail(ERR_ILLEGAL_READ);
  dev.add("C", 8)->fail(ERR_UNREACHABLE);
  norix::set_unmonitorable(dev.address("A"), true);  // read with a plain get instead
  FSMstate st("s", nullptr, 7);
  EqData three;
  three.set(3);
  st.add_data("local", &three, nullptr);
  for (const char* p : {"A", "B", "C"})
    st.add_data(p, nullptr, dev.address(p).c_str());
  st.set_error("old");
  st.lock_state();  // the refresh runs under the state's lock, as in dispatch
  st.poll_data();
  st.unlock_state();
  EXPECT_EQ(items(st), "3 42 e104 e111 ");
  EXPECT_EQ(std::string(st.get_error()), norix::error_text(ERR_ILLEGAL_READ));
  // Devices that answer again mend the items at the next refresh.
  dev.fail("B", 0);
  dev.fail("C", 0);
  st.lock_state();
  st.poll_data();
  st.unlock_state();
  EXPECT_EQ(items(st), "3 42 7 8 ");
  EXPECT_STREQ(st.get_error(), "");
}

TEST(Data, WritesGoThroughToTheDeviceAndFailuresBecomeTheStatesError) {
  testkit::Device dev("DEV");
  dev.add("IVAL", 0);
  dev.add("LOCKED", 0)->fail(ERR_ILLEGAL_WRITE);
  struct Case {
    std::string address;  // "" for a local item
    bool with_client;
    std::string item_after, device_after, error;
  };
  const Case cases[] = {
      {dev.address("IVAL"), true, "3 ", "9", ""},
      {"", true, "9 ", "0", ""},
      {dev.address("LOCKED"), true, "3 ", "0", norix::error_text(ERR_ILLEGAL_WRITE)},
      {dev.address("IVAL"), false, "3 ", "0", "no client call object"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.address);
    dev.set("IVAL", 0);
    FSMstate st("s", nullptr, 7);
    EqData value;
    value.set(3);
    st.add_data("item", &value, c.address.c_str());
    value.set(9);
    EqCall* client = norix_call;
    if (!c.with_client) norix_call = nullptr;
    EXPECT_EQ(st.data_set(0, value), 0);
    norix_call = client;
    EXPECT_EQ(st.data_set(1, value), -1);
    EXPECT_EQ(items(st), c.item_after);
    EXPECT_EQ(dev.text("IVAL"), c.device_after);
    EXPECT_EQ(std::string(st.get_error()), c.error);
  }
}

TEST(Data, EveryTypeServesItsOperationsAndRefusesTheOthers) {
  // Rows "operation|properties|argument|result", a line's rows apart by
  // ';', run in order through the handles that leaf opens. The result is what a
  // read gives or, for a write, the property's value afterwards as a client
  // reads it; "-" is a refusal (-1), which changes nothing; "" goes unchecked.
  const std::string u300(300, 'u');
  const std::string lines[] = {
      // Handles: the nearest holder of a name wins, levels count from leaf,
      // a location property is found by its name's first word.
      "open|IVAL||net 2 0; open|SVAL||net 2 6; open|num||item 1 1; open|HIDDEN||item 2 0",
      "open|IVA ADDR nothing||none",
      "set_int|IVAL|-5|-5; set_int|HIST|5|5; set_int|FVAL QVAL RVAL UVAL SVAL|12|-",
      "set_float|FVAL|1.5|1.5; set_float|HIST|2.5|5 2.5; set_float|IVAL QVAL RVAL UVAL SVAL|2|-",
      "set_iiii|QVAL|1 2 3 4|1 2 3 4; set_iiii|IVAL FVAL RVAL HIST UVAL SVAL|1 1 1 1|-",
      "set_ifff|RVAL|7 0.5 0.25 0.125|7 0.5 0.25 0.125",
      "set_ifff|IVAL FVAL QVAL HIST UVAL SVAL|1 1 1 1|-; set_text|UVAL|hello|hello",
      "set_tds|HIST|77 4.5|5 2.5 4.5; set_tds|IVAL FVAL QVAL RVAL UVAL SVAL|77 4.5|-",
      "get_int|IVAL||-5; get_int|FVAL||1; get_int|QVAL RVAL HIST UVAL SVAL||-",
      "get_float|IVAL||-5; get_float|FVAL||1.5; get_float|QVAL RVAL HIST UVAL SVAL||-",
      "get_text|IVAL||-5; get_text|FVAL||1.500000; get_text|QVAL||1 2 3 4",
      "get_text|RVAL||7 0.500000 0.250000 0.125000; get_text|UVAL||hello; get_text|HIST SVAL||-",
      "get_iiii|QVAL||1 2 3 4; get_iiii|IVAL FVAL RVAL HIST UVAL SVAL||-",
      "get_ifff|RVAL||7 0.5 0.25 0.125; get_ifff|IVAL FVAL QVAL HIST UVAL SVAL||-",
      "set_text|UVAL|" + u300 + "|; get_text|UVAL||" + u300.substr(0, 255),
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
  for (const std::string& line : lines) {
    std::istringstream rows(line);
    for (std::string row; std::getline(rows >> std::ws, row, ';');) {
      std::istringstream in(row);
      std::string op, props, arg, want;
      std::getline(std::getline(std::getline(std::getline(in, op, '|'), props, '|'), arg, '|'),
                   want);
      std::istringstream names(props);
      for (std::string prop; names >> prop;) {
        SCOPED_TRACE(row.substr(0, 60) + " on " + prop);
        int h = leaf->data_open(prop.c_str(), 0);
        std::string before = m.get(prop);
        std::string got;
        EXPECT_EQ(apply(op, leaf, h, arg, &got), want == "-" ? -1 : 0);
        if (want == "-") {
          EXPECT_EQ(m.get(prop), before);
        } else if (op.compare(0, 4, "set_") != 0) {
          EXPECT_EQ(got, want);
        } else if (!want.empty()) {
          EXPECT_EQ(m.get(prop), want);
        }
      }
    }
  }
}

TEST(Data, DataLockExcludesOtherThreadsUntilUnlock) {
  testkit::Machine m("TOP", "top", create_top);
  // Properties appended after the location's mutex table was made.
  for (const char* late : {"LATE1 added late", "LATE2 added late"})
    m.location()->norix_data.push_back(new norix::D_value<int>(late, m.location()));
  m.location()->bind();
  // While this thread holds a handle, another's data_lock waits for data_unlock.
  for (const char* name : {"FVAL", "UVAL", "LATE2", "num"}) {
    SCOPED_TRACE(name);
    int h = leaf->data_open(name, 0);
    ASSERT_EQ(leaf->data_lock(h, 0), 0);
    testkit::Gate trying;
    testkit::Gate acquired;
    std::thread other([&] {
      trying.open();
      leaf->data_lock(h, 0);
      acquired.open();
      leaf->data_unlock(h, 0);
    });
    EXPECT_TRUE(trying.wait());
    EXPECT_FALSE(acquired.wait(std::chrono::milliseconds(50)));
    EXPECT_EQ(leaf->data_unlock(h, 0), 0);
    EXPECT_TRUE(acquired.wait());
    other.join();
  }
  EXPECT_EQ(leaf->data_lock(leaf->data_open("LATE2", 0) + 1, 0), -1);  // past the last property
}
