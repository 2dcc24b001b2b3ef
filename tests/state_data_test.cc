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

// Each item's value, or "e<code>" for an item that holds an error.
std::string items(const FSMstate& st) {
  std::string out;
  for (FSMstate::local_data* item : st.data) {
    int e = item->eq_data.error();
    out += (e != 0 ? "e" + std::to_string(e) : std::to_string(item->eq_data.get_int())) + " ";
  }
  return out;
}

}  // namespace

TEST(StateData, RefreshReadsBoundItemsAndTheFirstDeviceErrorIsTheStates) {
  testkit::Device dev("DEV");
  dev.add("A", 42);
  dev.add("B", 7)->fail(ERR_ILLEGAL_READ);
  dev.add("C", 8)->fail(ERR_UNREACHABLE);
  norix::set_unmonitorable(dev.address("A"), true);  // read with a plain get instead
  FSMstate st("s", nullptr, 7);
  EqData three = int_data(3);
  st.add_data("local", &three, nullptr);
  for (const char* p : {"A", "B", "C"})
    st.add_data(p, nullptr, dev.address(p).c_str());
  st.set_error("old");
  refresh(&st);
  EXPECT_EQ(items(st), "3 42 e104 e111 ");
  EXPECT_EQ(std::string(st.get_error()), norix::error_text(ERR_ILLEGAL_READ));
  // Reading an item's container reports its error again.
  st.clear_error();
  EqData out;
  EXPECT_EQ(st.data_get(3, out), 0);
  EXPECT_EQ(out.error(), ERR_UNREACHABLE);
  EXPECT_EQ(std::string(st.get_error()), norix::error_text(ERR_UNREACHABLE));
  // Devices that answer again mend the items at the next refresh.
  dev.fail("B", 0);
  dev.fail("C", 0);
  refresh(&st);
  EXPECT_EQ(items(st), "3 42 7 8 ");
  EXPECT_STREQ(st.get_error(), "");
  FSMstate empty("e", nullptr, 7);  // without items, only the error is cleared
  empty.set_error("old");
  refresh(&empty);
  EXPECT_STREQ(empty.get_error(), "");
}

TEST(StateData, WritesGoThroughToTheDeviceAndFailuresBecomeTheStatesError) {
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
      {testkit::address("NOWHERE", "X"), true, "3 ", "0", norix::error_text(ERR_NO_LOCATION)},
      {dev.address("IVAL"), false, "3 ", "0", "no client call object"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.address);
    dev.set("IVAL", 0);
    FSMstate st("s", nullptr, 7);
    EqData three = int_data(3);
    st.add_data("item", &three, c.address.c_str());
    EqData nine = int_data(9);
    EqCall* client = norix_call;
    if (!c.with_client) norix_call = nullptr;
    EXPECT_EQ(st.data_set(0, nine), 0);
    norix_call = client;
    EXPECT_EQ(st.data_set(1, nine), -1);
    EXPECT_EQ(items(st), c.item_after);
    EXPECT_EQ(dev.text("IVAL"), c.device_after);
    EXPECT_EQ(std::string(st.get_error()), c.error);
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
  EXPECT_EQ(items(st), std::to_string(ROUNDS) + " ");
}
