// state_data_test.cc - state-local data: handles, typed access, device
// binding, the refresh and item locks.

#include <gtest/gtest.h>
#include <string.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "fsm/fsm.h"
#include "tests/support/devices.h"

namespace {

using devtest::address;
using devtest::Device;

EqData int_data(int v) {
  EqData d;
  d.set(v);
  return d;
}

EqData text_data(const char* s) {
  EqData d;
  d.set(s);
  return d;
}

// root <- grand <- mid <- leaf, each linked to its parent and the root.
struct Chain {
  FSMstate root{"root", "", 2};
  FSMstate grand{"grand", "", 7};
  FSMstate mid{"mid", "", 7};
  FSMstate leaf{"leaf", "", 7};
  Chain() {
    root.set_parent(&root);
    grand.set_parent(&root);
    mid.set_parent(&grand);
    leaf.set_parent(&mid);
    for (FSMstate* sp : {&root, &grand, &mid, &leaf})
      sp->set_root(&root);
  }
};

FSMstate::local_data* item_of(FSMstate* sp, int handle) {
  FSMstate::local_data* item = nullptr;
  return sp->data_find(handle, &item) < 0 ? nullptr : item;
}

void refresh(FSMstate* sp) {
  sp->lock_state();
  sp->poll_data();
  sp->unlock_state();
}

// --- handles ---

TEST(StateDataHandles, PositionsAndLevelsAddressTheOwnersItem) {
  Chain c;
  c.mid.add_data("x0", nullptr, nullptr);
  c.mid.add_data("x1", nullptr, nullptr);
  c.mid.add_data("x2", nullptr, nullptr);
  EXPECT_EQ(1, c.mid.data_open("x1", 0));
  EXPECT_EQ(2, c.mid.data_open("x2", 0));
  int h = c.leaf.data_open("x1", 0);
  EXPECT_EQ(1048577, h);
  EXPECT_EQ(c.mid.data[1], item_of(&c.leaf, h));
  // The same handle on the owner itself climbs one level too far, to a
  // state without items.
  EXPECT_EQ(nullptr, item_of(&c.mid, h));
}

TEST(StateDataHandles, NearerItemHidesFartherOne) {
  Chain c;
  c.root.add_data("v", nullptr, nullptr);
  c.mid.add_data("other", nullptr, nullptr);
  c.mid.add_data("v", nullptr, nullptr);
  EXPECT_EQ(1, c.mid.data_open("v", 0));
  EXPECT_EQ((1 << 20) | 1, c.leaf.data_open("v", 0));
  EXPECT_EQ(1 << 20, c.grand.data_open("v", 0));
}

TEST(StateDataHandles, ClimbStopsAtTheRoot) {
  Chain c;
  c.root.add_data("r", nullptr, nullptr);
  int h = c.leaf.data_open("r", 0);
  EXPECT_EQ(3 << 20, h);
  EXPECT_EQ(c.root.data[0], item_of(&c.leaf, h));
  EXPECT_EQ(c.root.data[0], item_of(&c.root, h));
  EXPECT_EQ(c.root.data[0], item_of(&c.mid, h));
}

TEST(StateDataHandles, LookupFailuresGiveMinusOne) {
  Chain c;
  c.mid.add_data("a", nullptr, nullptr);
  c.mid.add_data("b", nullptr, nullptr);
  EXPECT_EQ(-1, c.mid.data_open("a", 1));
  EXPECT_EQ(-1, c.leaf.data_open("nothing", 0));
  EXPECT_EQ(-1, c.mid.data_find(2, nullptr));
  EXPECT_EQ(-1, c.leaf.data_find((1 << 20) | 2, nullptr));
  FSMstate orphan("orphan", nullptr, 7);
  orphan.add_data("a", nullptr, nullptr);
  EXPECT_EQ(-1, orphan.data_find(1 << 20, nullptr));
  int v = 0;
  EXPECT_EQ(-1, orphan.data_get(-5, &v, 0));
  EXPECT_EQ(-1, orphan.data_set(-5, 3, 0));
  EXPECT_EQ(-1, orphan.data_lock(-5, 0));
  void* pp = &v;
  EXPECT_EQ(-1, orphan.data_pointer(0, &pp, 0));
  EXPECT_EQ(nullptr, pp);
}

TEST(StateDataHandles, LevelBeyondElevenBitsIsRefused) {
  // top <- s[0] <- ... <- s[2048]: the top's item lies 2048 levels above
  // the last state, one more than a handle can carry.
  FSMstate top("top", nullptr, 7);
  top.add_data("deep", nullptr, nullptr);
  std::vector<std::unique_ptr<FSMstate>> chain;
  FSMstate* parent = &top;
  for (int i = 0; i < 2048; ++i) {
    chain.push_back(std::make_unique<FSMstate>("s", nullptr, 7));
    chain.back()->set_parent(parent);
    parent = chain.back().get();
  }
  int h = chain[2046]->data_open("deep", 0);
  EXPECT_EQ(2047 << 20, h);
  EXPECT_EQ(top.data[0], item_of(chain[2046].get(), h));
  EXPECT_EQ(-1, chain[2047]->data_open("deep", 0));
}

// --- typed access ---

TEST(StateDataAccess, TypedValuesRoundTrip) {
  FSMstate st("s", nullptr, 7);
  st.add_data("i", nullptr, nullptr);
  st.add_data("f", nullptr, nullptr);
  st.add_data("q", nullptr, nullptr);
  st.add_data("r", nullptr, nullptr);
  st.add_data("t", nullptr, nullptr);
  int i = 0;
  float f = 0;
  ASSERT_EQ(0, st.data_set(0, -5, 0));
  ASSERT_EQ(0, st.data_get(0, &i, 0));
  EXPECT_EQ(-5, i);
  ASSERT_EQ(0, st.data_set(1, 2.9f, 0));
  ASSERT_EQ(0, st.data_get(1, &i, 0));
  EXPECT_EQ(2, i);
  ASSERT_EQ(0, st.data_get(1, &f, 0));
  EXPECT_FLOAT_EQ(2.9f, f);
  IIII q{1, 2, 3, 4}, qo{};
  ASSERT_EQ(0, st.data_set(2, &q, 0));
  ASSERT_EQ(0, st.data_get(2, &qo, 0));
  EXPECT_EQ(3, qo.i3_data);
  EXPECT_EQ(4, qo.i4_data);
  IFFF r{7, 0.5f, 0.25f, 0.125f}, ro{};
  ASSERT_EQ(0, st.data_set(3, &r, 0));
  ASSERT_EQ(0, st.data_get(3, &ro, 0));
  EXPECT_EQ(7, ro.i1_data);
  EXPECT_FLOAT_EQ(0.125f, ro.f3_data);
  TDS t{1234, 2.5f, 3};
  ASSERT_EQ(0, st.data_set(4, &t, 0));
  EXPECT_EQ(DATA_TDS, st.data[4]->eq_data.type());
  EXPECT_EQ(1234, st.data[4]->eq_data.get_tds()->tm);
  char text[] = "hello";
  ASSERT_EQ(0, st.data_set(0, text, 0));
  char* out = nullptr;
  ASSERT_EQ(0, st.data_get(0, &out, 0));
  EXPECT_STREQ("hello", out);
  delete[] out;
}

TEST(StateDataAccess, TextReadGivesFreshCopyOrFillsCallersArray) {
  FSMstate st("s", nullptr, 7);
  EqData d = text_data("abc");
  st.add_data("t", &d, nullptr);
  char* a = nullptr;
  char* b = nullptr;
  ASSERT_EQ(0, st.data_get(0, &a, 0));
  ASSERT_EQ(0, st.data_get(0, &b, 0));
  EXPECT_NE(a, b);
  a[0] = 'X';
  char buf[81];
  char* p = buf;
  ASSERT_EQ(0, st.data_get(0, &p, 0));
  EXPECT_EQ(buf, p);
  EXPECT_STREQ("abc", buf);
  EXPECT_STREQ("abc", b);
  delete[] a;
  delete[] b;
}

TEST(StateDataAccess, LongTextNeverPassesEightyOneBytes) {
  FSMstate st("s", nullptr, 7);
  std::string longtext(200, 'z');
  EqData d = text_data(longtext.c_str());
  st.add_data("t", &d, nullptr);
  char buf[128];
  memset(buf, '#', sizeof buf);
  char* p = buf;
  ASSERT_EQ(0, st.data_get(0, &p, 0));
  EXPECT_LE(strlen(buf), 80u);
  EXPECT_EQ(0, strncmp(buf, longtext.c_str(), strlen(buf)));
  for (size_t i = 81; i < sizeof buf; ++i)
    ASSERT_EQ('#', buf[i]) << i;
}

TEST(StateDataAccess, NullValuesChangeNothingAndNullResultsAreRefused) {
  FSMstate st("s", nullptr, 7);
  EqData d = int_data(9);
  st.add_data("i", &d, nullptr);
  EXPECT_EQ(0, st.data_set(0, static_cast<char*>(nullptr), 0));
  EXPECT_EQ(0, st.data_set(0, static_cast<IIII*>(nullptr), 0));
  EXPECT_EQ(0, st.data_set(0, static_cast<IFFF*>(nullptr), 0));
  EXPECT_EQ(0, st.data_set(0, static_cast<TDS*>(nullptr), 0));
  EXPECT_EQ(DATA_INT, st.data[0]->eq_data.type());
  EXPECT_EQ(9, st.data[0]->eq_data.get_int());
  EXPECT_EQ(-1, st.data_set(1, static_cast<char*>(nullptr), 0));
  EXPECT_EQ(-1, st.data_get(0, static_cast<int*>(nullptr), 0));
  EXPECT_EQ(-1, st.data_get(0, static_cast<char**>(nullptr), 0));
}

TEST(StateDataAccess, AddingAnExistingNameOnlyCopiesTheValue) {
  FSMstate st("s", nullptr, 7);
  EqData five = int_data(5), seven = int_data(7);
  st.add_data("a", &five, "F/D/L/P");
  st.add_data("a", &seven, "F/D/L/OTHER");
  st.add_data("a", nullptr, "");
  ASSERT_EQ(1u, st.data.size());
  EXPECT_EQ(7, st.data[0]->eq_data.get_int());
  EXPECT_EQ("F/D/L/P", st.data[0]->eq_name);
  st.add_data("b", nullptr, "");
  EXPECT_EQ("", st.data[1]->eq_name);
  EXPECT_EQ(DATA_NULL, st.data[1]->eq_data.type());
}

TEST(StateDataAccess, SetAddressReachesParentAndRootOnly) {
  Chain c;
  c.root.add_data("r", nullptr, nullptr);
  c.grand.add_data("g", nullptr, nullptr);
  c.mid.add_data("p", nullptr, nullptr);
  c.leaf.set_address("p", "A/B/C/P");
  c.leaf.set_address("g", "A/B/C/G");
  c.leaf.set_address("r", "A/B/C/R");
  EXPECT_EQ("A/B/C/P", c.mid.data[0]->eq_name);
  EXPECT_EQ("", c.grand.data[0]->eq_name);
  EXPECT_EQ("A/B/C/R", c.root.data[0]->eq_name);
  // The root is its own parent and root: only its own items.
  c.root.set_address("p", "X/X/X/X");
  EXPECT_EQ("A/B/C/P", c.mid.data[0]->eq_name);
}

// --- devices ---

TEST(StateDataDevice, RefreshReadsBoundItemsAndSkipsLocalOnes) {
  Device dev("DEV1");
  dev.ival.set_value(42);
  dev.fval.set_value(1.5f);
  FSMstate st("s", nullptr, 7);
  EqData three = int_data(3);
  st.add_data("local", &three, nullptr);
  st.add_data("i", nullptr, address("DEV1", "IVAL").c_str());
  st.add_data("f", nullptr, address("DEV1", "FVAL").c_str());
  st.set_error("old");
  refresh(&st);
  EXPECT_STREQ("", st.get_error());
  EXPECT_EQ(3, st.data[0]->eq_data.get_int());
  EXPECT_EQ(42, st.data[1]->eq_data.get_int());
  EXPECT_FLOAT_EQ(1.5f, st.data[2]->eq_data.get_float());
  FSMstate empty("e", nullptr, 7);
  empty.set_error("old");
  refresh(&empty);
  EXPECT_STREQ("", empty.get_error());
}

TEST(StateDataDevice, FirstDeviceErrorIsRecordedAndStoredInTheItem) {
  Device dev("DEV1");
  FSMstate st("s", nullptr, 7);
  st.add_data("bad1", nullptr, address("DEV1", "NOPE").c_str());
  st.add_data("bad2", nullptr, address("NOWHERE", "IVAL").c_str());
  refresh(&st);
  EqData& first = st.data[0]->eq_data;
  EqData& second = st.data[1]->eq_data;
  EXPECT_NE(0, first.error());
  EXPECT_NE(0, second.error());
  char buf[80];
  EXPECT_STREQ(first.get_string(buf, sizeof buf), st.get_error());
  EXPECT_STRNE(second.get_string(buf, sizeof buf), st.get_error());
  // Reading the whole container reports the stored error again.
  st.clear_error();
  EqData out;
  EXPECT_EQ(0, st.data_get(1, out));
  EXPECT_EQ(second.error(), out.error());
  EXPECT_STREQ(second.get_string(buf, sizeof buf), st.get_error());
  // Rebinding mends it at the next refresh.
  st.set_address("bad1", address("DEV1", "IVAL").c_str());
  st.set_address("bad2", address("DEV1", "IVAL").c_str());
  refresh(&st);
  EXPECT_STREQ("", st.get_error());
  EXPECT_EQ(0, st.data[0]->eq_data.error());
}

TEST(StateDataDevice, UnmonitorableAddressFallsBackToPlainRead) {
  Device dev("DEV1");
  dev.ival.set_value(17);
  std::string adr = address("DEV1", "IVAL");
  norix::set_unmonitorable(adr, true);
  FSMstate st("s", nullptr, 7);
  st.add_data("i", nullptr, adr.c_str());
  refresh(&st);
  EXPECT_STREQ("", st.get_error());
  EXPECT_EQ(0, st.data[0]->eq_data.error());
  EXPECT_EQ(17, st.data[0]->eq_data.get_int());
  norix::set_unmonitorable(adr, false);
}

TEST(StateDataDevice, NoClientCallObjectIsRecordedAsAnError) {
  Device dev("DEV1");
  EqCall* saved = norix_call;
  norix_call = nullptr;
  FSMstate st("s", nullptr, 7);
  st.add_data("i", nullptr, address("DEV1", "IVAL").c_str());
  refresh(&st);
  EqData nine = int_data(9);
  EXPECT_EQ(0, st.data_set(0, nine));
  norix_call = saved;
  EXPECT_EQ(ERR_UNREACHABLE, st.data[0]->eq_data.error());
  EXPECT_STRNE("", st.get_error());
  EXPECT_EQ(0, dev.ival.value());
}

TEST(StateDataDevice, WriteThroughReachesTheDeviceAndLeavesTheItem) {
  Device dev("DEV1");
  FSMstate st("s", nullptr, 7);
  EqData three = int_data(3);
  st.add_data("i", &three, address("DEV1", "IVAL").c_str());
  st.add_data("local", nullptr, nullptr);
  st.add_data("gone", nullptr, address("DEV1", "NOPE").c_str());
  EqData nine = int_data(9);
  EXPECT_EQ(0, st.data_set(0, nine));
  EXPECT_EQ(9, dev.ival.value());
  EXPECT_EQ(3, st.data[0]->eq_data.get_int());
  EXPECT_STREQ("", st.get_error());
  EXPECT_EQ(0, st.data_set(1, nine));
  EXPECT_EQ(9, st.data[1]->eq_data.get_int());
  EXPECT_EQ(0, st.data_set(2, nine));
  EXPECT_STRNE("", st.get_error());
  EXPECT_EQ(-1, st.data_set(3, nine));
  EXPECT_EQ(-1, st.data_set(-1, nine));
}

// --- locks and threads ---

TEST(StateDataLocks, DataLockHoldsTheItemUntilUnlock) {
  Chain c;
  c.mid.add_data("a", nullptr, nullptr);
  c.mid.add_data("b", nullptr, nullptr);
  devtest::expect_lock_blocks(&c.leaf, (1 << 20) | 1, &c.mid.data[1]->mux);
  EXPECT_EQ(-1, c.leaf.data_lock((1 << 20) | 2, 0));
}

// The refresh works on the state's eq_addr under the state's lock while a
// write-through from another thread runs without it; both must stay clean
// under ThreadSanitizer.
TEST(StateDataLocks, WriteThroughRunsBesideTheRefresh) {
  Device dev("DEV1");
  FSMstate st("s", nullptr, 7);
  st.add_data("i", nullptr, address("DEV1", "IVAL").c_str());
  st.add_data("f", nullptr, address("DEV1", "FVAL").c_str());
  constexpr int kRounds = 200;
  std::thread poller([&] {
    for (int k = 0; k < kRounds; ++k)
      refresh(&st);
  });
  std::thread writer([&] {
    for (int k = 1; k <= kRounds; ++k) {
      EqData v = int_data(k);
      st.data_set(0, v);
    }
  });
  poller.join();
  writer.join();
  refresh(&st);
  EXPECT_EQ(kRounds, st.data[0]->eq_data.get_int());
  EXPECT_STREQ("", st.get_error());
}

}  // namespace
