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
//   3: bytes arriving on a connection, read as lines by LineReader: the
//      lines it returns, each with its LF, must be the start of the bytes
//      (less a CR before each LF);
//   4: an endpoint text, whose text form must parse to the same endpoint;
//   5: a configuration file;
//   6: saved value lines of the FSM location, as an operator may edit them,
//      loaded into it before init(); its EVENT, FLOW_n and FSM must then
//      answer with lines the client parses.

#include "framework/protocol.h"

#include <sys/socket.h>
#include <unistd.h>

#include <sstream>
#include <string>

#include "framework/server.h"
#include "fsm/fsm.h"
#include "fuzz/fuzz.h"

namespace {

using norix::protocol::Request;

void build(EqFSMlocation* loc) {
  FSMstate* idle = new FSMstate("idle", "waiting", 0);
  FSMstate* busy = new FSMstate("busy", "working", 0);
  idle->add_transition("go", nullptr, nullptr, nullptr, nullptr, "busy");
  busy->add_transition("back", nullptr, nullptr, nullptr, nullptr, "idle");
  loc->state_ptr->add_state(0, idle);
  loc->state_ptr->add_state(0, busy);
  loc->flows.push_back(new D_flow("FLOW_0 the flow", loc));
  loc->flows.push_back(new D_flow("FLOW_7 no such flow", loc));
}

node_info fuzz_type = {nullptr, "fuzz", build};

// The served locations, made once and kept for the whole process: FAC/DEV/FSM
// is a root location of the machine above (entered on this thread, no
// engines), FAC/DEV/DEVICE a device with a property of every kind.
struct Served {
  Served() : device("NAME = location") {
    norix::set_server("FAC", "DEV");
    init_list = &fuzz_type;
    gbl_fct_name = "fuzz";
    fsm = static_cast<EqFSMlocation*>(eq_create(100, nullptr));
    fsm->set_name("FSM");
    fsm->init();
    fsm->complete();
    fsm->state_ptr->link_state();
    fsm->state_ptr->init_state();
    fsm->state_ptr->enter_state();
    norix::serve_location(fsm);
    device.set_name("DEVICE");
    new norix::D_value<int>("IVAL an int", &device);
    new norix::D_value<float>("FVAL a float", &device);
    new D_string("TEXT a text", &device);
    new D_iiii("QUAD four ints", &device);
    new D_dig_filter("FILT an int and three floats", &device);
    new D_ustr("USTR a record", &device);
    new D_hist("HIST a history", &device, 4);
    norix::serve_location(&device);
  }

  // Takes out what requests posted to the machine.
  void drain() {
    auto* root = dynamic_cast<FSMrootstate*>(fsm->state_ptr);
    root->event_fifo.signal();
    FSMevent ev;
    while (root->event_fifo.dequeue(ev) == 1) {
    }
  }

  EqFSMlocation* fsm;
  EqFct device;
};

Served& served() {
  static Served* s = new Served;
  return *s;
}

bool same_result(const EqData& a, const EqData& b) {
  return a.error() == b.error() && a.type() == b.type() && a.text_value() == b.text_value();
}

void request(const std::string& line) {
  Request req;
  served();
  if (norix::protocol::parse_request(line, &req) != 0) return;
  std::string again;
  switch (req.command) {
    case Request::GET:
      again = norix::protocol::get_request(req.address);
      break;
    case Request::NAMES:
      again = norix::protocol::names_request(req.address);
      break;
    case Request::SET:
      again = norix::protocol::set_request(req.address, req.value);
      break;
    case Request::SAVE:
      again = norix::protocol::save_request();
      break;
  }
  Request req2;
  FUZZ_CHECK(norix::protocol::parse_request(again, &req2) == 0);
  FUZZ_CHECK(req2.command == req.command);
  FUZZ_CHECK(req2.address.show_adr() == req.address.show_adr());
  FUZZ_CHECK(req2.command != Request::SET || same_result(req2.value, req.value));
  if (req.command == Request::SAVE) return;

  EqCall call;
  EqData in;
  EqData result;
  if (req.command == Request::GET) {
    call.get(&req.address, &in, &result);
  } else if (req.command == Request::SET) {
    call.set(&req.address, &req.value, &result);
  } else {
    call.names(&req.address, &result);
  }
  served().drain();
  std::string answer = norix::protocol::answer_line(result);
  FUZZ_CHECK(answer.find('\n') == std::string::npos);
  EqData back;
  FUZZ_CHECK(norix::protocol::parse_answer(answer, &back) == 0);
  FUZZ_CHECK(same_result(back, result));
}

void answer(const std::string& line) {
  EqData result;
  if (norix::protocol::parse_answer(line, &result) != 0) return;
  EqData back;
  FUZZ_CHECK(norix::protocol::parse_answer(norix::protocol::answer_line(result), &back) == 0);
  FUZZ_CHECK(same_result(back, result));
}

void escaping(const std::string& text) {
  for (bool word : {false, true}) {
    std::string e = norix::protocol::escape(text, word);
    std::string back;
    FUZZ_CHECK(norix::protocol::unescape(e, &back) && back == text);
    FUZZ_CHECK(e.find_first_of("\r\n") == std::string::npos);
    FUZZ_CHECK(!word || e.find_first_of(" \t") == std::string::npos);
  }
}

void framing(const std::string& bytes, size_t max) {
  int fds[2];
  FUZZ_CHECK(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, fds) == 0);
  size_t n = bytes.size() < 65536 ? bytes.size() : 65536;  // fits the socket's buffer
  FUZZ_CHECK(send(fds[1], bytes.data(), n, 0) == static_cast<ssize_t>(n));
  shutdown(fds[1], SHUT_WR);
  norix::protocol::LineReader reader(fds[0]);
  std::string expected = bytes.substr(0, n);
  size_t pos = 0;
  std::string line;
  auto deadline = norix::protocol::Clock::now() + std::chrono::seconds(5);
  while (reader.read_line(&line, max, deadline) == norix::protocol::LineReader::LINE) {
    FUZZ_CHECK(line.find('\n') == std::string::npos);
    size_t lf = expected.find('\n', pos);
    FUZZ_CHECK(lf != std::string::npos && lf - pos < max);
    std::string raw = expected.substr(pos, lf - pos);
    if (!raw.empty() && raw.back() == '\r') raw.pop_back();
    FUZZ_CHECK(line == raw);
    pos = lf + 1;
  }
  close(fds[0]);
  close(fds[1]);
}

void endpoint(const std::string& text) {
  norix::protocol::Endpoint e;
  std::string why;
  if (norix::protocol::parse_endpoint(text, &e, &why) != 0) return;
  norix::protocol::Endpoint e2;
  FUZZ_CHECK(norix::protocol::parse_endpoint(e.text(), &e2, &why) == 0);
  FUZZ_CHECK(e2.text() == e.text());
}

// Loads saved value lines into the FSM location and runs its init(), as
// the server's start-up does, then reads what clients see.
void saved_lines(const std::string& text) {
  EqFSMlocation* fsm = served().fsm;
  std::istringstream in(text);
  norix::load_config(fsm, in);
  fsm->init();
  for (const char* prop : {"EVENT", "FLOW_0", "FLOW_7", "FSM", "DESCR", "FAULT"}) {
    EqAdr adr;
    adr.set("FAC", "FSM", "DEV", prop);
    EqCall call;
    EqData in_data;
    EqData result;
    call.get(&adr, &in_data, &result);
    FUZZ_CHECK(result.error() == 0);
    EqData back;
    FUZZ_CHECK(norix::protocol::parse_answer(norix::protocol::answer_line(result), &back) == 0);
    FUZZ_CHECK(same_result(back, result));
  }
}

void config(const std::string& text) {
  std::istringstream in(text);
  norix::ServerConfig c;
  std::string why;
  norix::parse_config(in, "fuzz.conf", &c, &why);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
  switch (data[0] % 7) {
    case 0:
      request(text);
      break;
    case 1:
      answer(text);
      break;
    case 2:
      escaping(text);
      break;
    case 3:
      framing(text, data[0] >= 0x80 ? 16 : norix::protocol::MAX_REQUEST);
      break;
    case 4:
      endpoint(text);
      break;
    case 5:
      config(text);
      break;
    default:
      saved_lines(text);
      break;
  }
  return 0;
}
