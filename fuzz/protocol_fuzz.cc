// protocol_fuzz.cc - the host server's client protocol: request and answer
// lines, escaping, line framing on a socket, endpoints and configuration
// files, over arbitrary bytes.
//
// The first byte chooses what the rest is:
//   0: a request line. One that parses must print back to a request that
//      parses the same; get, set and names requests are then carried out
//      as the server does (EqCall on the served locations: an FSM location
//      and a device with a property of every kind), and the answer line
//      must parse on the client's side into the same result;
//   1: an answer line, which must print back to the same answer;
//   2: a text, which must unescape back from both escapings, the address
//      escaping holding no blank, tab, CR or LF;
//   3: bytes arriving on a connection, read as lines by LineReader (at most
//      16 bytes a line when the first byte is 0x80 or more): the lines it
//      returns, each with its LF, must be the start of the bytes (less a CR
//      before each LF);
//   4: an endpoint text, whose text form must parse to the same endpoint;
//   5: a configuration file;
//   6: saved value lines of the FSM location, as an operator may edit them,
//      loaded into it before init(); its EVENT, FLOW_n and FSM must then
//      answer with lines the client parses.

#include "framework/calls/protocol.h"

#include <sys/socket.h>
#include <unistd.h>

#include <sstream>
#include <string>

#include "framework/calls/endpoint.h"
#include "framework/host/server.h"
#include "framework/objects/registry.h"
#include "fuzz/fuzz.h"

namespace {

namespace protocol = norix::protocol;
using protocol::Request;

// Events that requests post are taken out unprocessed: the machine needs
// no transitions.
void build(EqFSMlocation* loc) {
  loc->state_ptr->add_state(0, new FSMstate("idle", "waiting", 0));
  loc->state_ptr->add_state(0, new FSMstate("busy", "working", 0));
  loc->flows.push_back(new D_flow("FLOW_0 the flow", loc));
  loc->flows.push_back(new D_flow("FLOW_7 no such flow", loc));
}

node_info fuzz_type = {nullptr, "fuzz", build};

// Server FAC/DEV, made once and kept for the whole process: location FSM
// of the machine above, and DEVICE with a property of every kind.
EqFSMlocation* served_machine() {
  static EqFSMlocation* fsm = [] {
    norix::set_server("FAC", "DEV");
    EqFSMlocation* loc = entered_machine(&fuzz_type, "FSM");
    norix::serve_location(loc);
    EqFct* device = new EqFct("NAME = location");
    device->set_name("DEVICE");
    new norix::D_value<int>("IVAL an int", device);
    new norix::D_value<float>("FVAL a float", device);
    new D_string("TEXT a text", device);
    new D_iiii("QUAD four ints", device);
    new D_dig_filter("FILT an int and three floats", device);
    new D_ustr("USTR a record", device);
    new D_hist("HIST a history", device, 4);
    norix::serve_location(device);
    return loc;
  }();
  return fsm;
}

// The answer line of a result must parse on the client's side into the
// same error, or the same type and value.
void check_answer(const EqData& result) {
  std::string line = protocol::answer_line(result);
  EqData back;
  FUZZ_CHECK(line.find('\n') == std::string::npos && protocol::parse_answer(line, &back) == 0);
  FUZZ_CHECK(protocol::answer_line(back) == line);
}

// The result's error code, or -1 for a line that is no request to run.
int request(const std::string& line) {
  Request req;
  EqFSMlocation* fsm = served_machine();
  if (protocol::parse_request(line, &req) != 0 || req.command == Request::SAVE) return -1;
  EqData empty;
  EqData result;
  std::string again = protocol::names_request(req.address);
  if (req.command == Request::GET) {
    again = protocol::get_request(req.address);
    EqCall().get(&req.address, &empty, &result);
  } else if (req.command == Request::SET) {
    again = protocol::set_request(req.address, req.value);
    EqCall().set(&req.address, &req.value, &result);
  } else {
    EqCall().names(&req.address, &result);
  }
  Request req2;
  FUZZ_CHECK(protocol::parse_request(again, &req2) == 0 && req2.command == req.command);
  FUZZ_CHECK(req2.address.show_adr() == req.address.show_adr());
  FUZZ_CHECK(req2.command != Request::SET ||
             protocol::answer_line(req2.value) == protocol::answer_line(req.value));
  check_answer(result);
  // Takes out what the request posted to the machine.
  auto* root = dynamic_cast<FSMrootstate*>(fsm->state_ptr);
  root->event_fifo.signal();
  for (FSMevent ev; root->event_fifo.dequeue(ev) == 1;) {
  }
  return result.error();
}

void answer(const std::string& line) {
  EqData result;
  if (protocol::parse_answer(line, &result) == 0) check_answer(result);
}

void escaping(const std::string& text) {
  for (bool word : {false, true}) {
    std::string e = protocol::escape(text, word);
    std::string back;
    FUZZ_CHECK(protocol::unescape(e, &back) && back == text);
    FUZZ_CHECK(e.find_first_of(word ? "\r\n \t" : "\r\n") == std::string::npos);
  }
}

void framing(const std::string& bytes, size_t max) {
  int fds[2];
  FUZZ_CHECK(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, fds) == 0);
  std::string sent = bytes.substr(0, 65536);  // fits the socket's buffer
  FUZZ_CHECK(send(fds[1], sent.data(), sent.size(), 0) == static_cast<ssize_t>(sent.size()));
  close(fds[1]);  // what was sent stays to be read
  protocol::LineReader reader(fds[0]);
  size_t pos = 0;
  std::string line;
  while (reader.read_line(&line, max, protocol::Clock::now() + std::chrono::seconds(5)) ==
         protocol::LineReader::LINE) {
    size_t lf = sent.find('\n', pos);
    FUZZ_CHECK(lf != std::string::npos && lf - pos < max);
    std::string raw = sent.substr(pos, lf - pos);
    if (!raw.empty() && raw.back() == '\r') raw.pop_back();
    FUZZ_CHECK(line == raw);
    pos = lf + 1;
  }
  close(fds[0]);
}

void endpoint(const std::string& text) {
  protocol::Endpoint e;
  protocol::Endpoint e2;
  std::string why;
  if (protocol::parse_endpoint(text, &e, &why) != 0) return;
  FUZZ_CHECK(protocol::parse_endpoint(e.text(), &e2, &why) == 0 && e2.text() == e.text());
}

void config(const std::string& text) {
  std::istringstream in(text);
  norix::ServerConfig c;
  std::string why;
  norix::parse_config(in, "fuzz.conf", &c, &why);
}

// Loads saved value lines into the FSM location and runs its init(), as
// the server's start-up does; what clients see must then read.
void saved_lines(const std::string& text) {
  std::istringstream in(text);
  norix::load_config(served_machine(), in);
  served_machine()->init();
  for (const char* prop : {"EVENT", "FLOW_0", "FLOW_7", "FSM", "DESCR", "FAULT"})
    FUZZ_CHECK(request(std::string("get FAC/DEV/FSM/") + prop) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
  void (*const modes[])(const std::string&) = {nullptr,  answer, escaping,   nullptr,
                                               endpoint, config, saved_lines};
  int mode = data[0] % 7;
  if (mode == 0) {
    request(text);
  } else if (mode == 3) {
    framing(text, data[0] >= 0x80 ? 16 : protocol::MAX_REQUEST);
  } else {
    modes[mode](text);
  }
  return 0;
}
