// fsm_properties.cc - the FSM location's properties: D_fsmstr (a USTR with
// room for 80 characters) and, built on it, EVENT, FAULT and FLOW_n; FSM and
// DESCR (D_rname).
//
// The framework holds a property's operation lock around each client get
// and set (lock order L4, fsm/fsm_core.h). The readers of the location's
// state (FAULT, FLOW_n) take no lock of the machine: they load the flows'
// published active states and the status atomically and copy error texts
// under the states' error locks (L5), so that a machine may read any
// machine's FLOW_n and FAULT, its own included, from its engine. EVENT
// posts to the machine's root, which takes only its queue mutex (L5).

#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <ostream>
#include <string>

#include "framework/base/text.h"
#include "fsm/fsm_core.h"
#include "fsm/internal.h"
#include "server/fsm_binding.h"
#include "server/fsm_checks.h"
#include "server/fsm_stats.h"

namespace {

constexpr size_t TEXT_MAX = 80;  // characters a property value holds
constexpr size_t READ_MAX = 79;  // characters a saved value gives back on loading
constexpr int CONF_SAVED = 16;   // conf_insert flag: the value is saved
constexpr unsigned NO_SUCH_LOCATION_LEN = 16;
const char NO_SUCH_LOCATION[] = "No such location";
const char SEPARATOR[] = " : ";

// Stores n characters of text (cut to 80) as the value's text, terminated;
// returns the number of characters stored.
size_t put_text(D_fsmstr& p, const char* text, size_t n) {
  n = std::min(n, TEXT_MAX);
  if (n > 0) memcpy(p.comment, text, n);
  p.comment[n] = '\0';
  p.value_.str_data.str_data_val = p.comment;
  return n;
}

// The length of a composed text of full characters: the text and its
// terminator, or 81 when the text had to be cut.
unsigned composed_length(size_t full) {
  return static_cast<unsigned>(full > TEXT_MAX ? TEXT_MAX + 1 : full + 1);
}

// The number of characters of a client USTR's text that may be read: up to
// its terminator, never beyond its stated length or limit; 0 without text.
size_t ustr_text_length(const USTR* u, size_t limit) {
  if (u->str_data.str_data_val == nullptr) return 0;
  return strnlen(u->str_data.str_data_val, std::min<size_t>(u->str_data.str_data_len, limit));
}

// The start-state name of flow id of sp ("" for the flow's first state, in
// a flow that was never linked), or null for no such flow. The name does
// not change once the machine runs.

const std::string* start_state(const FSMsuperstate* sp, int id) {
  for (const FSMsuperstate::frame* f : sp->flow) {
    if (f->id == id) return &f->state_name;
  }
  return nullptr;
}

// Why a client's record cannot be stored as a saved value line that reads
// back the same (the detail of a wrong data type refusal), or null: its text
// holds a line break, or a number is not finite. n is the length of its text.
const char* unstorable(const USTR* u, size_t n) {
  if (u == nullptr) return "no value";
  if (!std::isfinite(u->f1_data) || !std::isfinite(u->f2_data)) {
    return "a number is not finite";
  }
  if (n > 0 && memchr(u->str_data.str_data_val, '\n', n) != nullptr) {
    return "a text with a line break is not stored";
  }
  if (n > 0 && memchr(u->str_data.str_data_val, '\r', n) != nullptr) {
    return "a text with a line break is not stored";
  }
  return nullptr;
}

// The refusal's text is the code's text and why.
void refuse(EqData* res, int code, const char* why) {
  if (res != nullptr) res->error(code, norix::error_text(code, why));
}

// Whether the machine of root has been entered by its engine (or by the
// test kit). Takes the location mutex, a leaf.
bool running(FSMrootstate* root) {
  EqFSMlocation* loc = root->get_location();
  if (loc == nullptr) return false;
  pthread_mutex_lock(&loc->mux);
  int ready = loc->fsm_ready;
  pthread_mutex_unlock(&loc->mux);
  return ready != 0;
}

}  // namespace

// ---------------------------------------------------------------------------
// D_fsmstr

D_fsmstr::D_fsmstr(const char* name, EqFct* ep) : D_fct(name, ep, 0) {
  value_.i1_data = 0;
  value_.f1_data = 0.0f;
  value_.f2_data = 0.0f;
  value_.tm = 0;
  value_.str_data.str_data_len = 0;
  put_text(*this, "", 0);
}

D_fsmstr::~D_fsmstr() = default;

void D_fsmstr::get(EqAdr*, EqData*, EqData* res, EqFct*) {
  if (res != nullptr) res->set(value_, 0);
}

void D_fsmstr::set(EqAdr*, EqData* ed, EqData* res, EqFct*) {
  if (ed == nullptr) return;
  USTR* u = ed->get_ustr(0);
  const char* why = unstorable(u, u != nullptr ? ustr_text_length(u, TEXT_MAX + 1) : 0);
  if (why != nullptr) return refuse(res, ERR_WRONG_TYPE, why);
  set_value(u);
}

void D_fsmstr::get_multi(EqAdr*, EqData*, EqData* res, int* i, const char*, time_t*) {
  if (res != nullptr) res->set(value_, i != nullptr ? *i : 0);
}

void D_fsmstr::conf(Config* conf) {
  conf_insert(conf, CONF_SAVED);
}

void D_fsmstr::read() {
  D_conf_struct* rec = find_prop_name();
  if (rec == nullptr) return;
  const D_conf_ustr& saved = rec->d_ustr;
  value_.i1_data = saved.i1_data;
  value_.f1_data = saved.f1_data;
  value_.f2_data = saved.f2_data;
  value_.tm = saved.tm;
  size_t n = put_text(*this, saved.d_name.c_str(), strnlen(saved.d_name.c_str(), READ_MAX));
  value_.str_data.str_data_len = static_cast<unsigned>(n + 1);
}

// The numbers are written with the digits that read back the same float;
// a line break in the text is written as a blank, so the value keeps to
// its line.
void D_fsmstr::write(std::ostream& fl) {
  char text[sizeof comment];
  memcpy(text, comment, sizeof text);
  for (char& c : text) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  char line[200];
  int n = snprintf(line, sizeof line, " \t%d %.9g %.9g %ld \"%s\"\n", value_.i1_data,
                   static_cast<double>(value_.f1_data), static_cast<double>(value_.f2_data),
                   static_cast<long>(value_.tm), text);
  if (n < 0) return;
  fl.write(line, std::min<int>(n, static_cast<int>(sizeof line) - 1));
}

int D_fsmstr::data_type() const {
  return DATA_USTR;
}

// A client's text is read only up to its terminator and its stated length;
// the stored length never claims more than the stored text and terminator.
void D_fsmstr::set_value(USTR* usp) {
  if (usp == nullptr) return;
  size_t n = ustr_text_length(usp, TEXT_MAX + 1);
  unsigned len = usp->str_data.str_data_len;
  value_.i1_data = usp->i1_data;
  value_.f1_data = usp->f1_data;
  value_.f2_data = usp->f2_data;
  value_.tm = usp->tm;
  put_text(*this, usp->str_data.str_data_val, n);
  if (n > TEXT_MAX) {
    len = composed_length(n);
  } else if (usp->str_data.str_data_val == nullptr) {
    len = 0;
  } else if (len > n + 1) {
    len = static_cast<unsigned>(n + 1);
  }
  value_.str_data.str_data_len = len;
}

void D_fsmstr::set_value(int value) {
  value_.i1_data = value;
}

void D_fsmstr::set_value(time_t value) {
  value_.tm = value;
}

void D_fsmstr::set_f1(float value) {
  value_.f1_data = value;
}

void D_fsmstr::set_f2(float value) {
  value_.f2_data = value;
}

void D_fsmstr::set_value(const char* comm) {
  size_t n = comm != nullptr ? strnlen(comm, TEXT_MAX) : 0;
  value_.str_data.str_data_len = static_cast<unsigned>(put_text(*this, comm, n));
}

// ---------------------------------------------------------------------------
// D_rname

D_rname::D_rname(const char* name, EqFct* ep) : D_string(name, ep), state(nullptr) {}

D_rname::~D_rname() = default;

// Client writes are refused: the names are the configuration's.
void D_rname::set(EqAdr* adr, EqData* ed, EqData* res, EqFct* loc) {
  D_fct::set(adr, ed, res, loc);
}

void D_rname::read_from_conf(const std::string& text) {
  D_string::read_from_conf(text);
  if (state != nullptr) state->set_descr(value());
}

// ---------------------------------------------------------------------------
// D_event

D_event::D_event(const char* name, EqFct* ep) : D_fsmstr(name, ep), state(nullptr) {}

D_event::~D_event() = default;

// A write that posts nothing is refused: no text, a text that starts with
// ':' (no event name), or one that the saved line could not hold.
void D_event::set(EqAdr*, EqData* data, EqData* res, EqFct*) {
  if (data == nullptr) return;
  char text[TEXT_MAX];
  USTR u;
  USTR* in = &u;
  if (data->type() == DATA_USTR) {
    in = data->get_ustr(0);
  } else if (data->type() == DATA_STRING) {
    data->get_string(text, sizeof text);
    u.i1_data = 0;
    u.f1_data = 0.0f;
    u.f2_data = 0.0f;
    u.tm = time(nullptr);
    u.str_data.str_data_val = text;
    u.str_data.str_data_len = static_cast<unsigned>(strnlen(text, sizeof text));
  } else {
    return refuse(res, ERR_WRONG_TYPE, "EVENT takes a text");
  }
  size_t n = in != nullptr ? ustr_text_length(in, in->str_data.str_data_len) : 0;
  const char* why = unstorable(in, n);
  if (why == nullptr && (n == 0 || in->str_data.str_data_val[0] == ':')) {
    why = "EVENT needs an event name: EVENT[:TARGET]";
  }
  if (why != nullptr) return refuse(res, ERR_WRONG_TYPE, why);
  // Clients queue at most the limit; the machine's own signals and events
  // from other machines are never refused. Client writes to one EVENT are
  // serialised by its operation lock.
  FSMstate* top = state != nullptr && state->get_root() != nullptr ? state->get_root() : state;
  auto* root = dynamic_cast<FSMrootstate*>(top);
  if (root != nullptr && root->event_fifo.pending() >= norix::client_event_limit()) {
    if (root->location != nullptr && root->location->stats != nullptr)
      root->location->stats->count_refusal();
    return refuse(res, ERR_BUSY, "too many events wait for this machine");
  }
  set_event(in);
  // A name that no state of the machine takes is posted all the same (an
  // addressed state still polls, refreshes and runs "during" for it), and
  // the answer tells the client so. Only once the machine runs: its tree
  // is then fixed, and read here without a lock.
  if (res != nullptr && root != nullptr && running(root) && !machine_names_event(root, evn.event)) {
    std::string note =
        "posted, but no state of machine \"" + root->name + "\" takes event \"" + evn.event + "\"";
    res->set(note.c_str());
  }
}

// "E" and "E:" go to the location's state, "E:!" to every active state,
// "E:X" to the state X (or "*": every state) whose parent is the location's
// state. Names and targets are cut to 80 characters.
void D_event::set_event(USTR* uname) {
  if (uname == nullptr) return;
  const char* t = uname->str_data.str_data_val;
  size_t len = ustr_text_length(uname, uname->str_data.str_data_len);
  if (len == 0 || t[0] == ':') return;

  std::string self = state != nullptr ? state->get_name() : "";
  const char* colon = static_cast<const char*>(memchr(t, ':', len));
  std::string name(t, std::min(colon != nullptr ? static_cast<size_t>(colon - t) : len, TEXT_MAX));
  std::string target;
  if (colon == nullptr || colon + 1 == t + len) {
    target = self;
  } else {
    std::string rest(colon + 1, t + len);
    target = rest == "!" ? "*" : self + "!" + rest;
  }
  if (target.size() > TEXT_MAX) target.resize(TEXT_MAX);

  evn.set_event(name.c_str(), target.c_str());
  if (state != nullptr) state->post_event(&evn);
  set_value(uname);
}

// ---------------------------------------------------------------------------
// D_rstate

D_rstate::D_rstate(const char* name, EqFct* ep) : D_fsmstr(name, ep), state(nullptr) {}

D_rstate::~D_rstate() = default;

// Takes only the state's error lock (inside copy_error), never the state's
// mutex: the engine may hold that while it reads this property.
void D_rstate::get(EqAdr*, EqData*, EqData* res, EqFct*) {
  char err[TEXT_MAX + 1] = "";
  int full = state != nullptr ? state->copy_error(err, sizeof err) : 0;
  size_t n = full > 0 ? static_cast<size_t>(full) : 0;
  put_text(*this, err, n);
  value_.i1_data = 0;
  value_.f1_data = 0.0f;
  value_.f2_data = n > 0 ? 1.0f : 0.0f;
  value_.str_data.str_data_len = composed_length(n);
  value_.tm = time(nullptr);
  if (res != nullptr) res->set(value_, 0);
}

void D_rstate::set(EqAdr* adr, EqData* ed, EqData* res, EqFct* loc) {
  D_fct::set(adr, ed, res, loc);
}

// ---------------------------------------------------------------------------
// D_flow

// The flow number is the decimal number after the first underscore of the
// name, provided the name contains "FLOW_".
D_flow::D_flow(const char* name, EqFct* ep) : D_fsmstr(name, ep), state(nullptr), flow_id(-1) {
  if (name == nullptr || strstr(name, "FLOW_") == nullptr) return;
  const char* digits = strchr(name, '_') + 1;
  const char* end = nullptr;
  long long id = 0;
  if (norix::internal::parse_integer(digits, 10, INT_MIN, INT_MAX, &id, &end)) {
    flow_id = static_cast<int>(id);
  }
}

D_flow::~D_flow() = default;

void D_flow::get(EqAdr*, EqData*, EqData* res, EqFct*) {
  USTR* v = get_val(0);
  if (res != nullptr) res->set(*v, 0);
}

void D_flow::set(EqAdr* adr, EqData* ed, EqData* res, EqFct* loc) {
  D_fct::set(adr, ed, res, loc);
}

void D_flow::write(std::ostream& fl) {
  get_val(1);
  D_fsmstr::write(fl);
}

// Takes only the error lock of the flow's active state (inside
// copy_ast_error), never a state or flow mutex: the flow's active state is
// published atomically and the names do not change while the machine runs,
// so a read or a save shows the state before or after a switch, and an
// engine stuck in an action never holds up a reader or the server's save.
USTR* D_flow::get_val(int flag) {
  value_.tm = time(nullptr);
  const char* descr = nullptr;
  const char* name = state != nullptr ? state->get_ast_name(flow_id, &descr, flag) : nullptr;
  if (name == nullptr) {
    // A flow without a state to show (its start state is unknown, or its
    // machine never linked) saves the start state it was given, so that a
    // restart meets the same configuration, not this text.
    const std::string* start =
        flag != 0 && state != nullptr ? start_state(state, flow_id) : nullptr;
    if (start != nullptr) {
      put_text(*this, start->data(), start->size());
      value_.str_data.str_data_len = composed_length(start->size());
      value_.i1_data = state->get_flag(flow_id);
      value_.f1_data = 0.0f;
      value_.f2_data = 0.0f;
      return &value_;
    }
    put_text(*this, NO_SUCH_LOCATION, strlen(NO_SUCH_LOCATION));
    value_.str_data.str_data_len = NO_SUCH_LOCATION_LEN;
    value_.i1_data = 0;
    value_.f1_data = 0.0f;
    value_.f2_data = 0.0f;
    return &value_;
  }

  char err[TEXT_MAX + 1] = "";
  bool failed = state->copy_ast_error(flow_id, err, sizeof err) > 0;
  std::string text = name;
  text += SEPARATOR;
  text += failed ? err : fsm_internal::text_or_empty(descr);
  put_text(*this, text.data(), text.size());
  value_.str_data.str_data_len = composed_length(text.size());
  value_.f2_data = failed ? 1.0f : 0.0f;
  value_.i1_data = state->get_flag(flow_id);
  value_.f1_data = static_cast<float>(state->is_active());
  return &value_;
}
