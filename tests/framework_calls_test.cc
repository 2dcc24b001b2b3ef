// framework_calls_test.cc - the framework's server base in one process:
// client calls through the registry of served locations, writes converted
// or refused by the property classes, unserving while a call runs, peers
// that do not answer, property and archive lifetimes, the history ring.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "framework/calls/endpoint.h"
#include "framework/calls/peers.h"
#include "framework/calls/protocol.h"
#include "framework/norix.h"
#include "framework/objects/registry.h"
#include "testkit/testkit.h"

namespace {

// A property whose get holds the call until the test releases it.
class D_held : public D_fct {
 public:
  D_held(const char* text, EqFct* owner) : D_fct(text, owner) {}
  void get(EqAdr*, EqData*, EqData* result, EqFct*) override {
    entered.open();
    released.wait();
    result->set(7);
  }
  testkit::Gate entered;
  testkit::Gate released;
};

// Location L1 of server FAC/DEV with a property of each client-writable
// class and a history.
class ClientCalls : public ::testing::Test {
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
    return call.get(&a, nullptr, result);
  }

  EqCall call;
  EqFct loc{"NAME = location"};
  norix::D_value<int> count{"COUNT number of things", &loc};
  norix::D_value<float> gain{"GAIN amplifier gain", &loc};
  D_iiii quad{"QUAD four numbers", &loc};
  D_ustr note{"NOTE a note", &loc};
  D_string text{"TEXT a saved text", &loc};
  D_hist trend{"TREND a history", &loc, 3};
};

// Each row writes a value, then reads the address: its value (the end of
// the text form) or its error text. In order: a refused write leaves the
// value of the write before it.
TEST_F(ClientCalls, WritesConvertWhereTheyFitAndAddressesGiveTheirErrors) {
  struct {
    const char* address;
    int type;
    const char* text;
    int code;
    const char* read_back;
  } cases[] = {
      {"FAC/DEV/L1/COUNT", DATA_FLOAT, "-2.9", 0, "-2"},
      {"FAC/DEV/L1/COUNT", DATA_STRING, "12", 0, "12"},
      {"FAC/DEV/L1/COUNT", DATA_STRING, "twelve", ERR_WRONG_TYPE, "12"},
      {"FAC/DEV/L1/COUNT", DATA_LONG, "4294967296", ERR_WRONG_TYPE, "12"},
      {"FAC/DEV/L1/GAIN", DATA_INT, "-7", 0, "-7"},
      {"FAC/DEV/L1/GAIN", DATA_DOUBLE, "1e300", ERR_WRONG_TYPE, "-7"},
      {"FAC/DEV/L1/GAIN", DATA_STRING, "nan", ERR_WRONG_TYPE, "-7"},
      {"FAC/DEV/L1/GAIN", DATA_DOUBLE, "-inf", ERR_WRONG_TYPE, "-7"},
      {"FAC/DEV/L1/TEXT", DATA_STRING, "one line", 0, "one line"},
      {"FAC/DEV/L1/TEXT", DATA_STRING, "two\nlines", ERR_WRONG_TYPE, "one line"},
      {"FAC/DEV/L1/QUAD", DATA_STRING, "5 6 7 8", 0, "5 6 7 8"},
      {"FAC/DEV/L1/QUAD", DATA_STRING, "1 2 3", ERR_WRONG_TYPE, "5 6 7 8"},
      {"FAC/DEV/L1/NOTE", DATA_STRING, "a note", 0, " a note"},
      {"FAC/DEV/L1/TREND", DATA_FLOAT, "1", ERR_ILLEGAL_WRITE, ""},
      {"OTHER/DEV/L1/COUNT", DATA_INT, "1", ERR_NO_SERVER, "unknown server"},
      {"FAC/DEV/L9/COUNT", DATA_INT, "1", ERR_NO_LOCATION, "unknown location"},
      {"FAC/DEV/L1/NOPE", DATA_INT, "1", ERR_NO_PROPERTY, "unknown property"},
      {"FAC/DEV/L1/COUNT x", DATA_INT, "1", ERR_NO_PROPERTY, "unknown property"},
      {"FAC/DEV/*/COUNT", DATA_INT, "1", ERR_BAD_ADDRESS, "illegal address"},
      {"FAC/DEV/L1/*", DATA_INT, "1", ERR_BAD_ADDRESS, "illegal address"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.address) + " " + c.text);
    EqAdr a;
    a.adr(c.address);
    EqData value;
    value.set_type(c.type);
    ASSERT_EQ(0, value.set_from_string(c.text));
    EqData result;
    result.set(99);
    EXPECT_EQ(c.code, call.set(&a, &value, &result));
    get(c.address, &result);
    EXPECT_THAT(result.text_value(), testing::EndsWith(c.read_back));
  }
}

TEST_F(ClientCalls, UnserveWaitsForTheCallInFlightAndLaterCallsMissIt) {
  D_held held("HELD a get that waits", &loc);
  EqData held_result;
  std::thread client([&] { get("FAC/DEV/L1/HELD", &held_result); });
  ASSERT_TRUE(held.entered.wait());
  testkit::Gate unserved;
  std::thread host([&] {
    norix::unserve_location(&loc);
    unserved.open();
  });
  EqData result;
  EXPECT_TRUE(testkit::wait_until([&] { return get("FAC/DEV/L1/COUNT", &result) != 0; }));
  EXPECT_EQ(ERR_NO_LOCATION, result.error());
  EXPECT_FALSE(unserved.wait(std::chrono::milliseconds(100)));  // still waiting for the call
  held.released.open();
  ASSERT_TRUE(unserved.wait());  // on failure the threads end the process: no hang
  client.join();
  host.join();
  EXPECT_EQ(7, held_result.get_int());
}

// A peer that takes connections into its backlog but never answers: the
// call ends at the call timeout.
TEST(PeerCalls, APeerThatDoesNotAnswerIsUnreachableInBoundedTime) {
  testkit::TempDir dir;
  norix::set_server("HERE", "LOCAL");
  norix::set_call_timeout(300);
  norix::add_peer("MUTE", "DEV", "unix:" + dir.file("mute.sock"));
  norix::protocol::Endpoint mute;
  std::string why;
  ASSERT_EQ(0, norix::protocol::parse_endpoint("unix:" + dir.file("mute.sock"), &mute, &why));
  int fd = norix::protocol::listen_on(mute, &mute, &why);
  ASSERT_GE(fd, 0) << why;
  EqAdr a;
  a.adr("MUTE/DEV/LOC/PROP");
  EqData result;
  auto begin = std::chrono::steady_clock::now();
  EXPECT_EQ(ERR_UNREACHABLE, EqCall().get(&a, nullptr, &result));
  EXPECT_EQ("server unreachable", result.text_value());
  EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(5));
  close(fd);
  norix::clear_served();
}

// No answer line is beyond what a client reads: a value too large for it
// is answered with an error, an error text is cut.
TEST(PeerCalls, NoAnswerLinePassesTheProtocolLimit) {
  EqData big;
  big.set(std::string(norix::protocol::MAX_ANSWER, 'x'));
  EXPECT_EQ(norix::protocol::answer_line(big),
            "err 112 bad request: the answer would be larger than 1 MiB");
  // Escaped, a backslash takes two bytes: the longest value that fits, and
  // one more.
  const size_t most = (norix::protocol::MAX_ANSWER - norix::protocol::ANSWER_ROOM - 5) / 2;
  EqData fits;
  fits.set(std::string(most, '\\'));
  EXPECT_EQ(norix::protocol::answer_line(fits).substr(0, 6), "ok 3 \\");
  fits.set(std::string(most + 1, '\\'));
  EXPECT_EQ(norix::protocol::answer_line(fits).substr(0, 7), "err 112");
  EqData failed;
  failed.error(ERR_BAD_REQUEST, std::string(norix::protocol::MAX_ANSWER, 'e'));
  EXPECT_LT(norix::protocol::answer_line(failed).size(), 10000u);
}

TEST(Lifetimes, PropertiesAndHistoriesOutliveTheirLocationAndArchive) {
  EqFct* loc = new EqFct("NAME = location");
  D_fct* a = new norix::D_value<int>("A first", loc);
  delete new D_string("B second", loc);
  D_hist* h = new D_hist("  H history", loc);
  delete loc;
  EXPECT_EQ(nullptr, a->owner());
  delete a;  // must not touch the location

  testkit::TempDir dir;
  ArchiveFile* archive = new ArchiveFile(dir.file("M.hist"), dir.file("M.data").c_str(), true);
  D_hist* first = new D_hist("FIRST a history", nullptr);
  first->book_hist(archive, "M", 0, 200);
  h->book_hist(archive, "M", 0, 200);
  delete first;    // a history goes first: the archive forgets it
  delete archive;  // the archive goes first: the history forgets it
  TDS s{1, 2, 3};
  h->fill_hist(&s, nullptr);
  EXPECT_EQ(nullptr, h->archive());
  delete h;
}

TEST(History, TheRingKeepsTheNewestSamplesOldestFirst) {
  D_hist h("H history", nullptr, 3);
  for (int i = 1; i <= 5; ++i) {
    TDS s{100 + i, static_cast<float>(i), 0};
    int status = 300 + i;
    h.fill_hist(&s, i == 5 ? &status : nullptr);
  }
  TDS out[4];
  ASSERT_EQ(3, h.samples(out, 4));
  EXPECT_EQ(103, out[0].tm);
  EXPECT_EQ((305 & 0xff), out[2].status);
  ASSERT_EQ(2, h.samples(out, 2));
  EXPECT_EQ(4.0f, out[0].data);
}

}  // namespace
