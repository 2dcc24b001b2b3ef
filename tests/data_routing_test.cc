// data_routing_test.cc - superstate data routing: location handles, typed
// reads and writes of location properties, property locks, address
// properties and adopted superstates.

#include <float.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <math.h>
#include <string.h>
#include <time.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "fsm/fsm.h"
#include "tests/support/devices.h"

namespace {

using devtest::Site;

constexpr int kNet = static_cast<int>(0x80000000u);

int net(int level, int index) {
  return kNet | (level << 20) | index;
}

// A root location "TOP" holding one property of every routed type (and one
// of a type that routing refuses) and an address property; its root holds
// the superstate `sub`, which holds the simple state `leaf`.
class Routing : public ::testing::Test {
 protected:
  Routing() {
    ival = top.data(new norix::D_value<int>("IVAL an int", top.loc));
    fval = top.data(new norix::D_value<float>("FVAL a float", top.loc));
    qval = top.data(new D_iiii("QVAL four ints", top.loc));
    rval = top.data(new D_dig_filter("RVAL a filter", top.loc));
    hist = top.data(new D_hist("HIST a history", top.loc));
    uval = top.data(new D_ustr("UVAL a text", top.loc));
    sval = top.data(new D_string("SVAL a plain string", top.loc));
    addr = top.address(new D_string("ADDR the device address", top.loc));
    ival->set_value(-5);
    fval->set_value(1.5f);
    IIII q{1, 2, 3, 4};
    qval->set_value(&q);
    IFFF r{7, 0.5f, 0.25f, 0.125f};
    rval->set_value(&r);
    set_text("hello");
    sval->set_value("plain");
    root = top.root();
    root->add_state(0, &sub);
    sub.add_state(0, &leaf);
    root->set_root(root);
  }

  void set_text(const char* text) {
    USTR u{3, 1.0f, 2.0f, 99, {static_cast<unsigned>(strlen(text) + 1), const_cast<char*>(text)}};
    uval->set_value(&u);
  }

  std::string read_text(FSMstate* sp, int h, int* rc) {
    char* out = nullptr;
    *rc = sp->data_get(h, &out, 0);
    std::string s = out != nullptr ? out : "<null>";
    delete[] out;
    return s;
  }

  // Declared before `top`: the location's root forgets them first.
  FSMsuperstate sub{nullptr, "sub", "", 5};
  FSMstate leaf{"leaf", "", 7};
  Site top{"TOP", 2};
  FSMrootstate* root = nullptr;
  norix::D_value<int>* ival;
  norix::D_value<float>* fval;
  D_iiii* qval;
  D_dig_filter* rval;
  D_hist* hist;
  D_ustr* uval;
  D_string* sval;
  D_string* addr;
};

// --- handles ---

TEST_F(Routing, PropertiesAreFoundByTheirFirstWord) {
  EXPECT_EQ(net(0, 0), root->data_open("IVAL", 0));
  EXPECT_EQ(net(0, 6), root->data_open("SVAL", 0));
  EXPECT_EQ(-1, root->data_open("IVAL an int", 0));
  EXPECT_EQ(-1, root->data_open("IVA", 0));
  EXPECT_EQ(-1, root->data_open("ADDR", 0));
  EXPECT_EQ(addr, root->get_address("ADDR the device address"));
  EXPECT_EQ(nullptr, root->get_address("ADDR"));
  EXPECT_EQ(nullptr, sub.get_address("ADDR the device address"));
}

TEST_F(Routing, LevelsCountFromTheOpeningState) {
  int from_sub = sub.data_open("FVAL", 0);
  int from_leaf = leaf.data_open("FVAL", 0);
  EXPECT_EQ(net(1, 1), from_sub);
  EXPECT_EQ(net(2, 1), from_leaf);
  void* p = nullptr;
  EXPECT_EQ(0, sub.data_pointer(from_sub, &p, 0));
  EXPECT_EQ(fval, p);
  p = nullptr;
  EXPECT_EQ(0, leaf.data_pointer(from_leaf, &p, 0));
  EXPECT_EQ(fval, p);
  float f = 0;
  EXPECT_EQ(0, leaf.data_get(from_leaf, &f, 0));
  EXPECT_FLOAT_EQ(1.5f, f);
}

TEST_F(Routing, NearerNamesHideFartherOnes) {
  // A local item of the root hides the root location's property of the
  // same name, from the root and from below.
  EqData d;
  d.set(77);
  root->add_data("IVAL", &d, nullptr);
  EXPECT_EQ(0, root->data_open("IVAL", 0));
  EXPECT_EQ(2 << 20, leaf.data_open("IVAL", 0));
  int v = 0;
  EXPECT_EQ(0, leaf.data_get(2 << 20, &v, 0));
  EXPECT_EQ(77, v);
}

TEST_F(Routing, AdoptedSuperstateFindsItsOwnLocationFirst) {
  FSMstate inner("inner", "", 7);
  Site part("PART", 1);
  auto* own = part.data(new norix::D_value<int>("IVAL the part's own", part.loc));
  own->set_value(11);
  part.state()->set_name("PART");
  part.state()->add_state(0, &inner);
  root->add_reference(1, "PART");
  root->register_link(part.state());
  root->set_root(root);
  ASSERT_EQ(0, root->link_state());
  ASSERT_EQ(root, part.state()->get_parent());
  int h_own = inner.data_open("IVAL", 0);
  EXPECT_EQ(net(1, 0), h_own);
  int v = 0;
  EXPECT_EQ(0, inner.data_get(h_own, &v, 0));
  EXPECT_EQ(11, v);
  EXPECT_EQ(net(0, 0), part.state()->data_open("IVAL", 0));
  // A name only the adopting machine's location has is found there.
  int h_top = inner.data_open("FVAL", 0);
  EXPECT_EQ(net(2, 1), h_top);
  void* p = nullptr;
  EXPECT_EQ(0, inner.data_pointer(h_top, &p, 0));
  EXPECT_EQ(fval, p);
}

TEST_F(Routing, HandleUsedOnASubStateResolvesOneLevelLower) {
  FSMstate inner("inner", "", 7);
  Site part("PART", 1);
  auto* own = part.data(new norix::D_value<int>("OWN the part's own", part.loc));
  own->set_value(11);
  root->add_state(1, part.state());
  part.state()->add_state(0, &inner);
  int h_up = part.state()->data_open("IVAL", 0);
  int h_own = part.state()->data_open("OWN", 0);
  ASSERT_EQ(net(1, 0), h_up);
  ASSERT_EQ(net(0, 0), h_own);
  int v = 0;
  EXPECT_EQ(0, inner.data_get(h_up, &v, 0));
  EXPECT_EQ(11, v);  // the part's OWN, not the root's IVAL
  EXPECT_EQ(-1, inner.data_get(h_own, &v, 0));
}

TEST_F(Routing, HandlesThatDoNotResolve) {
  int h = root->data_open("SVAL", 0);
  int past_end = h + 1;  // index equal to the list's length
  void* p = &h;
  EXPECT_EQ(-1, root->data_pointer(past_end, &p, 0));
  EXPECT_EQ(nullptr, p);
  int v = 0;
  EXPECT_EQ(-1, root->data_get(past_end, &v, 0));
  EXPECT_EQ(-1, root->data_get(-1, &v, 0));
  // Local handles get no pointer.
  EqData d;
  root->add_data("local", &d, nullptr);
  p = &h;
  EXPECT_EQ(-1, root->data_pointer(0, &p, 0));
  EXPECT_EQ(nullptr, p);
  EXPECT_EQ(-1, sub.data_open("nothing", 0));
}

TEST_F(Routing, LevelBeyondElevenBitsIsRefused) {
  // root <- c[0] <- ... <- c[2045] <- deep <- child: deep lies 2047 levels
  // below the root, its child 2048.
  std::vector<std::unique_ptr<FSMstate>> chain;
  FSMstate* parent = root;
  for (int i = 0; i < 2046; ++i) {
    chain.push_back(std::make_unique<FSMstate>("c", nullptr, 7));
    chain.back()->set_parent(parent);
    parent = chain.back().get();
  }
  FSMsuperstate deep(nullptr, "deep", "", 5);
  deep.set_parent(parent);
  FSMstate child("child", nullptr, 7);
  child.set_parent(&deep);
  int h = deep.data_open("FVAL", 0);
  EXPECT_EQ(net(2047, 1), h);
  void* p = nullptr;
  EXPECT_EQ(0, deep.data_pointer(h, &p, 0));
  EXPECT_EQ(fval, p);
  EXPECT_EQ(-1, child.data_open("FVAL", 0));
}

TEST_F(Routing, LongFirstWordIsComparedWhole) {
  std::string word(300, 'W');
  std::string text = word + " a property with a long name";
  top.data(new norix::D_value<int>(text.c_str(), top.loc));
  EXPECT_EQ(-1, root->data_open(word.substr(0, 255).c_str(), 0));
  EXPECT_EQ(-1, root->data_open(word.substr(0, 256).c_str(), 0));
  EXPECT_EQ(net(0, 7), root->data_open(word.c_str(), 0));
}

// --- reads ---

TEST_F(Routing, ReadsServeTheTypesOfTheTable) {
  int i = 0, rc = 0;
  float f = 0;
  IIII q{};
  IFFF r{};
  const int I = net(0, 0), F = net(0, 1), Q = net(0, 2), R = net(0, 3), H = net(0, 4),
            U = net(0, 5), S = net(0, 6);
  EXPECT_EQ(0, root->data_get(I, &i, 0));
  EXPECT_EQ(-5, i);
  EXPECT_EQ(0, root->data_get(F, &i, 0));
  EXPECT_EQ(1, i);
  EXPECT_EQ(0, root->data_get(I, &f, 0));
  EXPECT_FLOAT_EQ(-5.0f, f);
  EXPECT_EQ(0, root->data_get(F, &f, 0));
  EXPECT_FLOAT_EQ(1.5f, f);
  EXPECT_EQ(0, root->data_get(Q, &q, 0));
  EXPECT_EQ(4, q.i4_data);
  EXPECT_EQ(0, root->data_get(R, &r, 0));
  EXPECT_EQ(7, r.i1_data);
  EXPECT_FLOAT_EQ(0.125f, r.f3_data);
  for (int h : {Q, R, H, U, S}) {
    EXPECT_EQ(-1, root->data_get(h, &i, 0)) << h;
    EXPECT_EQ(-1, root->data_get(h, &f, 0)) << h;
  }
  for (int h : {I, F, R, H, U, S})
    EXPECT_EQ(-1, root->data_get(h, &q, 0)) << h;
  for (int h : {I, F, Q, H, U, S})
    EXPECT_EQ(-1, root->data_get(h, &r, 0)) << h;

  EXPECT_EQ("-5", read_text(root, I, &rc));
  EXPECT_EQ(0, rc);
  EXPECT_EQ("1.500000", read_text(root, F, &rc));
  EXPECT_EQ("1 2 3 4", read_text(root, Q, &rc));
  EXPECT_EQ("7 0.500000 0.250000 0.125000", read_text(root, R, &rc));
  EXPECT_EQ("hello", read_text(root, U, &rc));
  EXPECT_EQ(0, rc);
  read_text(root, H, &rc);
  EXPECT_EQ(-1, rc);
  read_text(root, S, &rc);
  EXPECT_EQ(-1, rc);
}

TEST_F(Routing, FloatReadsAsIntTruncateTowardZero) {
  int h = root->data_open("FVAL", 0);
  int i = 0;
  const std::vector<std::pair<float, int>> cases = {
      {2.9f, 2}, {-2.9f, -2}, {1e20f, INT_MAX}, {-1e20f, INT_MIN}, {NAN, 0}};
  for (const auto& c : cases) {
    fval->set_value(c.first);
    EXPECT_EQ(0, root->data_get(h, &i, 0));
    EXPECT_EQ(c.second, i) << c.first;
  }
}

TEST_F(Routing, TextIntoCallersArrayStaysWithin256Bytes) {
  std::string long_text(300, 'u');
  set_text(long_text.c_str());
  char buf[400];
  memset(buf, '#', sizeof buf);
  char* p = buf;
  ASSERT_EQ(0, root->data_get(net(0, 5), &p, 0));
  EXPECT_EQ(long_text.substr(0, 255), std::string(buf));
  for (size_t k = 256; k < sizeof buf; ++k)
    ASSERT_EQ('#', buf[k]) << k;
  char* whole = nullptr;
  ASSERT_EQ(0, root->data_get(net(0, 5), &whole, 0));
  EXPECT_EQ(long_text, whole);
  delete[] whole;
  // The widest numeric text fits.
  fval->set_value(-FLT_MAX);
  char expect[256];
  snprintf(expect, sizeof expect, "%f", static_cast<double>(-FLT_MAX));
  p = buf;
  ASSERT_EQ(0, root->data_get(net(0, 1), &p, 0));
  EXPECT_STREQ(expect, buf);
}

// --- writes ---

TEST_F(Routing, WritesServeOnlyTheirTypes) {
  const int I = net(0, 0), F = net(0, 1), Q = net(0, 2), R = net(0, 3), H = net(0, 4),
            U = net(0, 5), S = net(0, 6);
  IIII q{5, 6, 7, 8};
  IFFF r{9, 1.0f, 2.0f, 3.0f};
  TDS t{77, 4.5f, 3};
  for (int h : {F, Q, R, U, S})
    EXPECT_EQ(-1, root->data_set(h, 12, 0)) << h;
  for (int h : {I, Q, R, U, S})
    EXPECT_EQ(-1, root->data_set(h, 2.5f, 0)) << h;
  for (int h : {I, F, R, H, U, S})
    EXPECT_EQ(-1, root->data_set(h, &q, 0)) << h;
  for (int h : {I, F, Q, H, U, S})
    EXPECT_EQ(-1, root->data_set(h, &r, 0)) << h;
  for (int h : {I, F, Q, R, U, S})
    EXPECT_EQ(-1, root->data_set(h, &t, 0)) << h;
  char text[] = "3";
  for (int h : {H, S})
    EXPECT_EQ(-1, root->data_set(h, text, 0)) << h;
  EXPECT_EQ(-5, ival->value());
  EXPECT_FLOAT_EQ(1.5f, fval->value());
  EXPECT_EQ(1, qval->value()->i1_data);
  EXPECT_EQ(7, rval->value()->i1_data);
  EXPECT_EQ(0, hist->sample_count());
  EXPECT_STREQ("plain", sval->value());

  EXPECT_EQ(0, root->data_set(I, 12, 0));
  EXPECT_EQ(12, ival->value());
  EXPECT_EQ(0, root->data_set(F, 2.5f, 0));
  EXPECT_FLOAT_EQ(2.5f, fval->value());
  EXPECT_EQ(0, root->data_set(Q, &q, 0));
  EXPECT_EQ(8, qval->value()->i4_data);
  EXPECT_EQ(0, root->data_set(R, &r, 0));
  EXPECT_FLOAT_EQ(3.0f, rval->value()->f3_data);
}

TEST_F(Routing, TextWritesParseNumbers) {
  const int I = net(0, 0), F = net(0, 1), Q = net(0, 2), R = net(0, 3), U = net(0, 5);
  char t42[] = "42", t17[] = " 17xyz", tabc[] = "abc", tbig[] = "99999999999";
  EXPECT_EQ(0, root->data_set(I, t42, 0));
  EXPECT_EQ(42, ival->value());
  EXPECT_EQ(0, root->data_set(I, t17, 0));
  EXPECT_EQ(17, ival->value());
  EXPECT_EQ(-1, root->data_set(I, tabc, 0));
  EXPECT_EQ(-1, root->data_set(I, tbig, 0));
  EXPECT_EQ(17, ival->value());

  char t25[] = "2.5", thuge[] = "1e99";
  EXPECT_EQ(0, root->data_set(F, t25, 0));
  EXPECT_FLOAT_EQ(2.5f, fval->value());
  EXPECT_EQ(-1, root->data_set(F, tabc, 0));
  EXPECT_EQ(-1, root->data_set(F, thuge, 0));
  EXPECT_FLOAT_EQ(2.5f, fval->value());

  char four[] = "5 6 7 8", three[] = "1 2 3";
  EXPECT_EQ(0, root->data_set(Q, four, 0));
  EXPECT_EQ(0, root->data_set(Q, three, 0));
  EXPECT_EQ(5, qval->value()->i1_data);
  EXPECT_EQ(8, qval->value()->i4_data);

  char filt[] = "4 0.5 1.5 2.5", broken[] = "1 2 x 4";
  EXPECT_EQ(0, root->data_set(R, filt, 0));
  EXPECT_EQ(0, root->data_set(R, broken, 0));
  EXPECT_EQ(4, rval->value()->i1_data);
  EXPECT_FLOAT_EQ(2.5f, rval->value()->f3_data);

  char bye[] = "bye";
  time_t before = time(nullptr);
  EXPECT_EQ(0, root->data_set(U, bye, 0));
  time_t after = time(nullptr);
  USTR* u = uval->value();
  EXPECT_STREQ("bye", u->str_data.str_data_val);
  EXPECT_NE(bye, u->str_data.str_data_val);
  EXPECT_EQ(0, u->i1_data);
  EXPECT_EQ(0.0f, u->f1_data);
  EXPECT_GE(u->tm, before);
  EXPECT_LE(u->tm, after);
}

TEST_F(Routing, NullValuesReturnZeroAndChangeNothing) {
  EXPECT_EQ(0, root->data_set(net(5, 123), static_cast<char*>(nullptr), 0));
  EXPECT_EQ(0, leaf.data_set(net(0, 0), static_cast<char*>(nullptr), 0));
  EXPECT_EQ(0, root->data_set(net(0, 2), static_cast<IIII*>(nullptr), 0));
  EXPECT_EQ(0, root->data_set(net(0, 4), static_cast<TDS*>(nullptr), 0));
  EXPECT_EQ(1, qval->value()->i1_data);
  EXPECT_EQ(0, hist->sample_count());
  EXPECT_EQ(-1, root->data_get(net(0, 0), static_cast<int*>(nullptr), 0));
}

TEST_F(Routing, HistoryWritesAddSamples) {
  int h = leaf.data_open("HIST", 0);
  time_t before = time(nullptr);
  EXPECT_EQ(0, leaf.data_set(h, 5, 0));
  EXPECT_EQ(0, leaf.data_set(h, 2.5f, 0));
  time_t after = time(nullptr);
  TDS given{77, 4.5f, 3};
  EXPECT_EQ(0, leaf.data_set(h, &given, 0));
  TDS s[4];
  ASSERT_EQ(3, hist->samples(s, 4));
  EXPECT_FLOAT_EQ(5.0f, s[0].data);
  EXPECT_EQ(0, s[0].status);
  EXPECT_GE(s[0].tm, before);
  EXPECT_LE(s[0].tm, after);
  EXPECT_FLOAT_EQ(2.5f, s[1].data);
  EXPECT_EQ(0, s[1].status);
  EXPECT_EQ(77, s[2].tm);
  EXPECT_FLOAT_EQ(4.5f, s[2].data);
  EXPECT_EQ(3, s[2].status);
}

// --- locks ---

TEST_F(Routing, DataLockUsesSharedMutexBeforeBind) {
  devtest::expect_lock_blocks(&leaf, leaf.data_open("QVAL", 0), &top.loc->prop_amux);
}

TEST_F(Routing, DataLockUsesThePropertysMutexAfterBind) {
  top.loc->bind();
  ASSERT_NE(nullptr, top.loc->prop_mux);
  devtest::expect_lock_blocks(&leaf, leaf.data_open("FVAL", 0), &top.loc->prop_mux[1]);
  devtest::expect_lock_blocks(root, root->data_open("UVAL", 0), &top.loc->prop_mux[5]);
  // Local handles lock the local item.
  root->add_data("local", nullptr, nullptr);
  devtest::expect_lock_blocks(&sub, 1 << 20, &root->data[0]->mux);
  EXPECT_EQ(-1, root->data_lock(net(0, 7), 0));
  EXPECT_EQ(-1, root->data_unlock(net(0, 7), 0));
}

// A property appended after the table was made has no mutex of its own: it
// shares prop_amux instead of reaching past the table; a second bind keeps
// the table.
TEST_F(Routing, PropertyAddedAfterBindLocksTheSharedMutex) {
  top.loc->bind();
  pthread_mutex_t* table = top.loc->prop_mux;
  top.data(new norix::D_value<int>("LATE added after bind", top.loc));
  top.loc->bind();
  EXPECT_EQ(table, top.loc->prop_mux);
  devtest::expect_lock_blocks(&leaf, leaf.data_open("LATE", 0), &top.loc->prop_amux);
}

// Routed reads of a record run beside client writes of the same property
// and never see a torn record (and are clean under ThreadSanitizer).
TEST_F(Routing, RoutedReadsStayWholeBesideClientWrites) {
  int h = leaf.data_open("QVAL", 0);
  IIII zero{0, 0, 0, 0};
  qval->set_value(&zero);
  constexpr int kRounds = 500;
  devtest::Flag reading;
  std::atomic<bool> done{false};
  std::atomic<int> torn{0};
  // The reader reads from before the first write until after the last.
  std::thread reader([&] {
    do {
      IIII q{};
      char* text = nullptr;
      if (leaf.data_get(h, &q, 0) != 0 || q.i1_data != q.i4_data) ++torn;
      if (leaf.data_get(h, &text, 0) != 0) ++torn;
      delete[] text;
      reading.raise();
    } while (!done);
  });
  std::thread writer([&] {
    EqAdr adr;
    adr.adr(devtest::address("TOP", "QVAL"));
    reading.wait();
    for (int k = 1; k <= kRounds; ++k) {
      EqData in, out;
      in.set(IIII{k, k, k, k});
      pthread_mutex_lock(&norix_mux);
      norix_call->set(&adr, &in, &out);
      pthread_mutex_unlock(&norix_mux);
    }
    done = true;
  });
  writer.join();
  reader.join();
  EXPECT_EQ(0, torn.load());
  EXPECT_EQ(kRounds, qval->value()->i4_data);
}

}  // namespace
