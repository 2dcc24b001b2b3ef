// state_data_test.cc - a state's data items bound to device properties:
// the refresh, device errors in the state and in the item, and writes
// through to the device.

#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "testkit/testkit.h"

namespace {

EqData int_data(int v) {
  EqData d;
  d.set(v);
  return d;
}

void refresh(FSMstate* st) {
  st->lock_state();
  st->poll_data();
  st->unlock_state();
}

std::string text_of(EqData& d) {
  char buf[80];
  return d.get_string(buf, sizeof buf);
}

}  // namespace

TEST(StateData, RefreshReadsBoundItemsAndLeavesLocalOnes) {
  testkit::Device dev("DEV");
  dev.add("IVAL", 42);
  dev.add("FVAL", 1.5f);
  // An address that cannot be monitored is read with a plain get.
  norix::set_unmonitorable(dev.address("FVAL"), true);
  FSMstate st("s", nullptr, 7);
  EqData three = int_data(3);
  st.add_data("local", &three, nullptr);
  st.add_data("i", nullptr, dev.address("IVAL").c_str());
  st.add_data("f", nullptr, dev.address("FVAL").c_str());
  st.set_error("old");
  refresh(&st);
  EXPECT_STREQ(st.get_error(), "");
  EXPECT_EQ(st.data[0]->eq_data.get_int(), 3);
  EXPECT_EQ(st.data[1]->eq_data.get_int(), 42);
  EXPECT_EQ(st.data[2]->eq_data.get_float(), 1.5f);
  EXPECT_EQ(st.data[2]->eq_data.error(), 0);
  // A state without items only clears its error.
  FSMstate empty("e", nullptr, 7);
  empty.set_error("old");
  refresh(&empty);
  EXPECT_STREQ(empty.get_error(), "");
}

TEST(StateData, FirstDeviceErrorIsTheStatesAndEachItemKeepsItsOwn) {
  testkit::Device dev("DEV");
  dev.add("A", 1);
  dev.add("B", 2);
  dev.fail("A", ERR_ILLEGAL_READ);
  dev.fail("B", ERR_UNREACHABLE);
  FSMstate st("s", nullptr, 7);
  st.add_data("a", nullptr, dev.address("A").c_str());
  st.add_data("b", nullptr, dev.address("B").c_str());
  st.add_data("gone", nullptr, testkit::address("NOWHERE", "X").c_str());
  refresh(&st);
  EXPECT_EQ(st.data[0]->eq_data.error(), ERR_ILLEGAL_READ);
  EXPECT_EQ(st.data[1]->eq_data.error(), ERR_UNREACHABLE);
  EXPECT_EQ(st.data[2]->eq_data.error(), ERR_NO_LOCATION);
  EXPECT_EQ(std::string(st.get_error()), text_of(st.data[0]->eq_data));
  // Reading the item's container reports its error again.
  st.clear_error();
  EqData out;
  EXPECT_EQ(st.data_get(1, out), 0);
  EXPECT_EQ(out.error(), ERR_UNREACHABLE);
  EXPECT_EQ(std::string(st.get_error()), text_of(st.data[1]->eq_data));
  // Devices that answer again mend the items at the next refresh.
  dev.fail("A", 0);
  dev.fail("B", 0);
  st.set_address("gone", dev.address("B").c_str());
  refresh(&st);
  EXPECT_STREQ(st.get_error(), "");
  EXPECT_EQ(st.data[0]->eq_data.get_int(), 1);
  EXPECT_EQ(st.data[2]->eq_data.get_int(), 2);
}

TEST(StateData, WritesGoThroughToTheDeviceAndFailuresBecomeTheStatesError) {
  testkit::Device dev("DEV");
  dev.add("IVAL", 0);
  dev.add("LOCKED", 0)->fail(ERR_ILLEGAL_WRITE);
  struct Case {
    const char* item;
    std::string address;
    bool without_client;
    std::string error;  // the state's error afterwards
  };
  const Case cases[] = {
      {"bound", dev.address("IVAL"), false, ""},
      {"local", "", false, ""},
      {"locked", dev.address("LOCKED"), false, norix::error_text(ERR_ILLEGAL_WRITE)},
      {"unserved", testkit::address("NOWHERE", "X"), false, norix::error_text(ERR_NO_LOCATION)},
      {"offline", dev.address("IVAL"), true, "no client call object"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.item);
    dev.set("IVAL", 0);
    FSMstate st("s", nullptr, 7);
    EqData three = int_data(3);
    st.add_data(c.item, &three, c.address.c_str());
    EqData nine = int_data(9);
    EqCall* client = norix_call;
    if (c.without_client) norix_call = nullptr;
    EXPECT_EQ(st.data_set(0, nine), 0);
    norix_call = client;
    EXPECT_EQ(st.data[0]->eq_data.get_int(), c.address.empty() ? 9 : 3);
    EXPECT_EQ(dev.text("IVAL"), c.item == std::string("bound") ? "9" : "0");
    EXPECT_EQ(std::string(st.get_error()), c.error);
    EXPECT_EQ(st.data_set(1, nine), -1);
  }
}

// The refresh uses the state's own address record under the state's lock
// while a write-through from another thread runs without it.
TEST(StateData, WriteThroughRunsBesideTheRefresh) {
  testkit::Device dev("DEV");
  dev.add("IVAL", 0);
  FSMstate st("s", nullptr, 7);
  st.add_data("i", nullptr, dev.address("IVAL").c_str());
  constexpr int ROUNDS = 200;
  std::thread poller([&] {
    for (int k = 0; k < ROUNDS; ++k)
      refresh(&st);
  });
  for (int k = 1; k <= ROUNDS; ++k) {
    EqData v = int_data(k);
    st.data_set(0, v);
  }
  poller.join();
  refresh(&st);
  EXPECT_EQ(st.data[0]->eq_data.get_int(), ROUNDS);
  EXPECT_STREQ(st.get_error(), "");
}
