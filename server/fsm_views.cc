// fsm_views.cc - D_view: the read-only properties TRACE, GRAPH and MODEL of
// a root location.
//
// A read copies the trace under its leaf mutex, or takes the machine's
// picture without locking it (server/fsm_snapshot.h); the framework holds
// the property's operation lock around it, and nothing of the machine waits
// for that lock.

#include <string>

#include "fsm/fsm_trace.h"
#include "server/fsm_binding.h"
#include "server/fsm_snapshot.h"

namespace {

// What TRACE's text may take: well below the protocol's 1 MiB answer
// limit even where every character of a record is escaped, with room for
// each element's numbers and separators.
constexpr size_t TRACE_BUDGET = 400 * 1024;
constexpr size_t ELEMENT_ROOM = 64;

// The newest records whose text fits TRACE_BUDGET, oldest first.
void trace_value(EqFSMlocation* loc, EqData* res) {
  const FSMtrace* trace = static_cast<FSMrootstate*>(loc->state_ptr)->trace;
  std::vector<FSMtrace::record> records = trace->copy();
  std::vector<std::string> texts(records.size());
  size_t first = records.size();
  for (size_t used = 0; first > 0; --first) {
    texts[first - 1] = FSMtrace::text(records[first - 1]);
    used += 2 * texts[first - 1].size() + ELEMENT_ROOM;
    if (used > TRACE_BUDGET) break;
  }
  res->set_type(DATA_USTR);
  int index = 0;
  for (size_t i = first; i < records.size(); ++i) {
    const FSMtrace::record& r = records[i];
    std::string& text = texts[i];
    USTR u;
    u.i1_data = static_cast<int>(r.seq);
    u.f1_data = static_cast<float>(r.time_ms % 1000);
    u.f2_data = 0.0f;
    u.tm = static_cast<time_t>(r.time_ms / 1000);
    u.str_data.str_data_len = static_cast<unsigned>(text.size() + 1);
    u.str_data.str_data_val = &text[0];
    res->set(u, index++);
  }
}

}  // namespace

D_view::D_view(const char* name, EqFct* ep, int view_kind) : D_fct(name, ep, 0), kind(view_kind) {}

D_view::~D_view() = default;

void D_view::get(EqAdr*, EqData*, EqData* res, EqFct*) {
  if (res == nullptr) return;
  EqFSMlocation* loc = dynamic_cast<EqFSMlocation*>(owner());
  if (loc == nullptr || loc->state_ptr == nullptr || loc->state_ptr->get_type() != FSM_TYPE_ROOT) {
    res->error(ERR_ILLEGAL_READ,
               norix::error_text(ERR_ILLEGAL_READ, "not the location of a machine"));
    return;
  }
  if (kind == VIEW_TRACE) {
    trace_value(loc, res);
    return;
  }
  fsm_snapshot::machine m;
  std::string why;
  if (fsm_snapshot::take(loc, &m, &why) != 0) {
    res->error(ERR_ILLEGAL_READ, norix::error_text(ERR_ILLEGAL_READ, why));
    return;
  }
  res->set(kind == VIEW_GRAPH ? fsm_snapshot::graph_text(m) : fsm_snapshot::model_text(m));
}

int D_view::data_type() const {
  return kind == VIEW_TRACE ? DATA_USTR : DATA_STRING;
}
