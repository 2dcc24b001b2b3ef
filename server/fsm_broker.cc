// fsm_broker.cc - the machines' state and transition records for the
// broker.
//
// collect() runs on the broker host's one publisher thread, so its caches
// need no lock. It takes each machine's picture as the panel does
// (fsm_snapshot: no lock of a machine), so publishing costs the engines
// nothing; a state is published only when its text changed.

#include "server/fsm_broker.h"

#include <map>
#include <string>
#include <vector>

#include "framework/base/json.h"
#include "fsm/fsm_trace.h"
#include "server/fsm_binding.h"

namespace {

using norix::json_quote;

constexpr size_t RECORDS_PER_CALL = 256;  // the newest records of one period

struct machine_cache {
  bool seen = false;
  std::string state;           // the last published state, without time
  unsigned long long seq = 0;  // the last published record
};

std::string record_json(const FSMtrace::record& r) {
  return "{\"seq\":" + std::to_string(r.seq) + ",\"time_ms\":" + std::to_string(r.time_ms) +
         ",\"flow\":" + json_quote(FSMtrace::flow_path(r.flow)) +
         ",\"from\":" + json_quote(r.from != nullptr ? r.from->get_name() : "?") +
         ",\"to\":" + (r.to != nullptr ? json_quote(r.to->get_name()) : std::string("null")) +
         ",\"event\":" + json_quote(r.event) + "}";
}

void collect(std::vector<norix::BrokerItem>* out) {
  static std::map<EqFSMlocation*, machine_cache> caches;  // publisher thread only
  for (FSMlist::entry* e : global_list.list) {
    EqFSMlocation* loc = e->loc;
    machine_cache& c = caches[loc];
    fsm_snapshot::machine m;
    std::string why;
    bool taken = fsm_snapshot::take(loc, &m, &why) == 0;
    std::string state = fsm_broker_state(loc, taken ? &m : nullptr, why);
    if (state != c.state) {
      c.state = state;
      out->push_back(
          {loc->name(), false,
           "{\"time_ms\":" + std::to_string(FSMtrace::now_ms()) + "," + state.substr(1)});
    }
    const FSMtrace* trace = static_cast<FSMrootstate*>(loc->state_ptr)->trace;
    unsigned long long last = trace->last_seq();
    // The first look starts from now: what ran before shows in the state.
    if (!c.seen) {
      c.seen = true;
      c.seq = last;
    }
    if (last == c.seq) continue;
    std::vector<FSMtrace::record> records = trace->copy();
    size_t from = records.size() > RECORDS_PER_CALL ? records.size() - RECORDS_PER_CALL : 0;
    for (size_t i = from; i < records.size(); ++i) {
      if (records[i].seq > c.seq) out->push_back({loc->name(), true, record_json(records[i])});
    }
    c.seq = last;
  }
}

}  // namespace

std::string fsm_broker_state(EqFSMlocation* loc, const fsm_snapshot::machine* m,
                             const std::string& why) {
  std::string out = "{\"location\":" + json_quote(loc->name());
  if (m == nullptr) {
    return out + ",\"machine\":null,\"active\":[],\"flows\":[],\"fault\":\"\",\"errors\":[" +
           "{\"state\":null,\"error\":" + json_quote(why) + "}]}";
  }
  out += ",\"machine\":" + json_quote(m->states[0].st->get_name()) + ",\"active\":[";
  std::string errors;
  if (m->error_code != 0) errors = "{\"state\":null,\"error\":" + json_quote(m->error_text) + "}";
  bool first = true;
  for (size_t i = 1; i < m->states.size(); ++i) {
    const fsm_snapshot::state& s = m->states[i];
    std::string path = json_quote(fsm_snapshot::state_path(*m, static_cast<int>(i)));
    if (s.active) {
      out += std::string(first ? "" : ",") + "{\"path\":" + path +
             ",\"since_ms\":" + std::to_string(s.entered_ms) + "}";
      first = false;
    }
    if (!s.error.empty()) {
      errors += std::string(errors.empty() ? "" : ",") + "{\"state\":" + path +
                ",\"error\":" + json_quote(s.error) + "}";
    }
  }
  out += "],\"flows\":[";
  // The flows of the root's own location, as its FLOW_n properties show them.
  first = true;
  for (D_flow* f : loc->flows) {
    if (f->flow_id < 0) continue;
    for (int fi : m->states[0].flows) {
      const fsm_snapshot::flow& fl = m->flows[static_cast<size_t>(fi)];
      if (fl.f->id != f->flow_id) continue;
      for (int si : fl.states) {
        const fsm_snapshot::state& s = m->states[static_cast<size_t>(si)];
        if (!s.active) continue;
        std::string text =
            std::string(s.st->get_name()) + " : " + (s.error.empty() ? s.st->get_descr() : s.error);
        out += std::string(first ? "" : ",") + "{\"flow\":" + json_quote(f->name()) +
               ",\"descr\":" + json_quote(f->D_fct::comment()) +
               ",\"state\":" + json_quote(s.st->get_name()) + ",\"text\":" + json_quote(text) +
               ",\"since_ms\":" + std::to_string(s.entered_ms) + "}";
        first = false;
      }
    }
  }
  return out + "],\"fault\":" + json_quote(m->states[0].error) + ",\"errors\":[" + errors + "]}";
}

norix::BrokerFeed fsm_broker_feed() {
  return norix::BrokerFeed{collect};
}
