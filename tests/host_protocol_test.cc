// host_protocol_test.cc - the wire protocol: escaping, request and answer
// lines for every value type, reading lines with limits and deadlines,
// endpoints and listening sockets.

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "framework/norix.h"
#include "framework/protocol.h"
#include "tests/support/process.h"

namespace {

namespace p = norix::protocol;
using p::Clock;

EqData round_trip(const EqData& in) {
  EqData out;
  out.set(99);
  EXPECT_EQ(p::parse_answer(p::answer_line(in), &out), 0) << p::answer_line(in);
  return out;
}

USTR ustr(int i1, const char* text) {
  USTR u{};
  u.i1_data = i1;
  u.f1_data = 0.5f;
  u.tm = 1700000000;
  u.str_data.str_data_val = const_cast<char*>(text);
  u.str_data.str_data_len = 100;
  return u;
}

TEST(HostProtocol, EscapedTextsComeBackWholeOnOneLine) {
  const std::string nasty = "a\\b\nc\rd e\tf\\n";
  for (bool word : {false, true}) {
    std::string line = p::escape(nasty, word);
    EXPECT_EQ(line.find_first_of("\n\r"), std::string::npos);
    EXPECT_EQ(line.find_first_of(" \t") == std::string::npos, word) << line;
    std::string back;
    ASSERT_TRUE(p::unescape(line, &back));
    EXPECT_EQ(back, nasty);
  }
  std::string out = "unchanged";
  EXPECT_FALSE(p::unescape("a\\", &out));
  EXPECT_FALSE(p::unescape("a\\x", &out));
  EXPECT_EQ(out, "unchanged");
}

TEST(HostProtocol, RequestsParseBackAndBadLinesAreRefused) {
  EqAdr adr;
  adr.adr("FAC/DEV ICE/LO\\/C/PROP");
  p::Request r;
  ASSERT_EQ(p::parse_request(p::get_request(adr), &r), 0);
  EXPECT_EQ(r.command, p::Request::GET);
  EXPECT_EQ(r.address.show_adr(), adr.show_adr());
  EXPECT_STREQ(r.address.device(), "DEV ICE");
  ASSERT_EQ(p::parse_request(p::names_request(adr), &r), 0);
  EXPECT_EQ(r.command, p::Request::NAMES);

  EqData v;
  v.set("two\nlines ");
  ASSERT_EQ(p::parse_request(p::set_request(adr, v), &r), 0);
  EXPECT_EQ(r.command, p::Request::SET);
  EXPECT_EQ(r.value.type(), DATA_STRING);
  EXPECT_EQ(r.value.text_value(), "two\nlines ");
  v.set(2.5f);
  ASSERT_EQ(p::parse_request(p::set_request(adr, v), &r), 0);
  EXPECT_EQ(r.value.type(), DATA_FLOAT);
  EXPECT_EQ(r.value.get_float(), 2.5f);
  ASSERT_EQ(p::parse_request("set A/B/C/D 3", &r), 0);
  EXPECT_EQ(r.value.text_value(), "");
  ASSERT_EQ(p::parse_request("save", &r), 0);
  EXPECT_EQ(r.command, p::Request::SAVE);

  for (const char* bad : {"", "get", "get ", "get A B", "GET A/B/C/D", "save now", "names",
                          "set A/B/C/D", "set A/B/C/D x 1", "set A/B/C/D -1 1", "set A/B/C/D 1 one",
                          "set A/B/C/D 3 a\\", "get a\\z", "hello"}) {
    EXPECT_EQ(p::parse_request(bad, &r), ERR_BAD_REQUEST) << "'" << bad << "'";
  }
}

TEST(HostProtocol, AnswersCarryEveryValueTypeAndErrors) {
  std::vector<EqData> values(9);
  values[0].set(-12);
  values[1].set(0.1f);
  values[2].set("back\\slash\nand newline");
  values[3].set(IIII{1, -2, 3, 4});
  values[4].set(IFFF{7, 1.5f, -0.25f, 1e20f});
  values[5].set(TDS{1700000000, 2.5f, 3});
  const float floats[] = {1, 2.5f, -3};
  values[6].set(floats, 3);
  values[7].set(ustr(1, "first : a\\b"), 0);
  values[7].set(ustr(2, "second\nline"), 1);
  values[8].error(ERR_NO_LOCATION, "unknown location");
  for (EqData& v : values) {
    EqData back = round_trip(v);
    EXPECT_EQ(back.type(), v.type());
    EXPECT_EQ(back.error(), v.error());
    EXPECT_EQ(back.text_value(), v.text_value());
    EXPECT_EQ(back.length(), v.length());
  }
  EqData back = round_trip(values[7]);
  EXPECT_STREQ(back.get_ustr(1)->str_data.str_data_val, "second\nline");
  EXPECT_EQ(round_trip(EqData()).type(), DATA_NULL);

  EqData kept;
  kept.set(5);
  for (const char* bad :
       {"", "ok", "ok 1", "ok x 1", "ok 1 one", "err 0 fine", "err 102", "fine 1 1", "ok 3 a\\"}) {
    EXPECT_EQ(p::parse_answer(bad, &kept), -1) << bad;
  }
  EXPECT_EQ(kept.get_int(), 5);
}

class HostLines : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, fd), 0); }
  void TearDown() override {
    for (int f : fd)
      if (f >= 0) close(f);
  }
  void put(const std::string& bytes) { ASSERT_EQ(p::write_all(fd[1], bytes, soon()), 0); }
  void hang_up() {
    close(fd[1]);
    fd[1] = -1;
  }
  static Clock::time_point soon() { return Clock::now() + std::chrono::seconds(10); }
  int fd[2] = {-1, -1};
};

TEST_F(HostLines, LinesAreSplitAtNewlinesWhateverTheChunks) {
  p::LineReader r(fd[0]);
  std::string line;
  put("first\r\nsec");
  ASSERT_EQ(r.read_line(&line, 100, soon()), p::LineReader::LINE);
  EXPECT_EQ(line, "first");
  put("ond\n\nthird\n");
  std::vector<std::string> got;
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(r.read_line(&line, 100, soon()), p::LineReader::LINE);
    got.push_back(line);
  }
  EXPECT_EQ(got, (std::vector<std::string>{"second", "", "third"}));
  hang_up();
  EXPECT_EQ(r.read_line(&line, 100, soon()), p::LineReader::END);
}

TEST_F(HostLines, LimitsDeadlinesAndHangUpsEndALine) {
  p::LineReader r(fd[0]);
  std::string line;
  put("123456789\n");
  EXPECT_EQ(r.read_line(&line, 10, soon()), p::LineReader::LINE);  // the LF is the 10th byte
  put("1234567890\n");
  EXPECT_EQ(r.read_line(&line, 10, soon()), p::LineReader::TOO_LONG);

  p::LineReader quiet(fd[0]);
  auto begin = Clock::now();
  EXPECT_EQ(quiet.read_line(&line, 100, Clock::now() + std::chrono::milliseconds(50)),
            p::LineReader::FAILED);
  EXPECT_GE(Clock::now() - begin, std::chrono::milliseconds(50));

  put("half a line");
  hang_up();
  EXPECT_EQ(quiet.read_line(&line, 100, soon()), p::LineReader::FAILED);
}

TEST(HostEndpoints, TextsParseOrSayWhy) {
  p::Endpoint e;
  std::string why;
  ASSERT_EQ(p::parse_endpoint("unix:/tmp/x.sock", &e, &why), 0);
  EXPECT_TRUE(e.is_unix);
  EXPECT_EQ(e.text(), "unix:/tmp/x.sock");
  ASSERT_EQ(p::parse_endpoint("tcp:localhost:7400", &e, &why), 0);
  EXPECT_EQ(e.text(), "tcp:127.0.0.1:7400");
  for (const char* bad : {"", "unix:", "tcp:127.0.0.1", "tcp:127.0.0.1:70000", "tcp:host:1",
                          "tcp::1", "http:x", "tcp:127.0.0.1:-1"}) {
    EXPECT_EQ(p::parse_endpoint(bad, &e, &why), -1) << bad;
    EXPECT_FALSE(why.empty());
  }
  EXPECT_EQ(p::parse_endpoint("unix:" + std::string(200, 'a'), &e, &why), -1);
  EXPECT_NE(why.find("too long"), std::string::npos);
}

TEST(HostEndpoints, AStaleSocketPathIsTakenOverButALiveOneIsNot) {
  proc::TempDir dir;
  p::Endpoint e;
  p::Endpoint bound;
  std::string why;
  ASSERT_EQ(p::parse_endpoint("unix:" + dir.file("s.sock"), &e, &why), 0);
  int first = p::listen_on(e, &bound, &why);
  ASSERT_GE(first, 0) << why;
  EXPECT_EQ(p::listen_on(e, &bound, &why), -1);
  EXPECT_NE(why.find("in use"), std::string::npos) << why;
  close(first);  // the path stays, nobody answers on it
  int second = p::listen_on(e, &bound, &why);
  EXPECT_GE(second, 0) << why;
  int client = p::connect_to(e, Clock::now() + std::chrono::seconds(5));
  EXPECT_GE(client, 0);
  if (client >= 0) close(client);
  if (second >= 0) close(second);
}

}  // namespace
