// eq_call.cc - client calls (EqCall): on the locations this process serves
// (framework/objects/registry.h), or at a peer server
// (framework/calls/peers.h) through the wire protocol; the registry mutex is
// released before the connection is made.

#include "framework/calls/eq_call.h"

#include <atomic>
#include <string>

#include "framework/calls/internal.h"
#include "framework/calls/peers.h"
#include "framework/calls/protocol.h"
#include "framework/calls/remote_call.h"
#include "framework/objects/eq_fct.h"
#include "framework/objects/registry.h"
#include "framework/values/errors.h"

namespace {

using norix::internal::is_unmonitorable;
using norix::internal::monitor_read;
using norix::internal::monitor_sweep;
using norix::internal::pin_location;
using norix::internal::pinned_location;
using norix::internal::route;
using norix::internal::served_names;
using norix::internal::ServedLocation;
using norix::internal::unpin_location;

std::atomic<long> update_calls{0};

int fail(EqData* result, int code) {
  result->error(code, norix::error_text(code));
  return code;
}

// One request to a peer. While the monitors know the peer to be lost, the
// call is answered at once instead of waiting out its timeout: a silent
// peer must not hold every caller, and the engines behind it, for seconds
// per call.
int call_peer(const std::string& endpoint, const std::string& line, EqData* result,
              int timeout_ms) {
  if (norix::internal::monitor_peer_down(endpoint)) return fail(result, ERR_UNREACHABLE);
  return norix::protocol::call(endpoint, line, result, timeout_ms);
}

}  // namespace

namespace norix {

long update_count() {
  return update_calls.load();
}

}  // namespace norix

EqCall::EqCall() = default;
EqCall::~EqCall() = default;

int EqCall::get(EqAdr* address, EqData* request, EqData* result) {
  EqData spare;
  EqData* r = result != nullptr ? result : &spare;
  if (r != request) r->init();
  if (address == nullptr) return fail(r, ERR_BAD_ADDRESS);
  std::string endpoint;
  int timeout_ms = 0;
  if (route(address, &endpoint, &timeout_ms)) {
    return call_peer(endpoint, norix::protocol::get_request(*address), r, timeout_ms);
  }
  ServedLocation* e = nullptr;
  int code = pin_location(address, &e);
  if (code != 0) return fail(r, code);
  code = pinned_location(e)->get(address, request, r);
  unpin_location(e);
  return code;
}

int EqCall::set(EqAdr* address, EqData* value, EqData* result) {
  EqData spare;
  EqData* r = result != nullptr ? result : &spare;
  if (r != value) r->init();
  if (address == nullptr) return fail(r, ERR_BAD_ADDRESS);
  if (value == nullptr) return fail(r, ERR_WRONG_TYPE);
  std::string endpoint;
  int timeout_ms = 0;
  if (route(address, &endpoint, &timeout_ms)) {
    if (value->error() != 0) return fail(r, ERR_WRONG_TYPE);
    std::string line = norix::protocol::set_request(*address, *value);
    return call_peer(endpoint, line, r, timeout_ms);
  }
  ServedLocation* e = nullptr;
  int code = pin_location(address, &e);
  if (code != 0) return fail(r, code);
  code = pinned_location(e)->set(address, value, r);
  unpin_location(e);
  return code;
}

int EqCall::names(EqAdr* address, EqData* result) {
  EqData spare;
  EqData* out = result != nullptr ? result : &spare;
  out->init();
  if (address == nullptr) return fail(out, ERR_BAD_ADDRESS);
  std::string endpoint;
  int timeout_ms = 0;
  if (route(address, &endpoint, &timeout_ms)) {
    return call_peer(endpoint, norix::protocol::names_request(*address), out, timeout_ms);
  }
  bool answered = false;
  int code = served_names(address, out, &answered);
  if (code != 0) return fail(out, code);
  if (answered) return 0;
  ServedLocation* e = nullptr;
  code = pin_location(address, &e);
  if (code != 0) return fail(out, code);
  code = pinned_location(e)->names(address, out);
  unpin_location(e);
  return code;
}

int EqCall::get_monitor(EqAdr* address, EqData* request, EqData* result, int /*mode*/,
                        float /*rate*/, EQ_CB /*cb*/, void* /*user*/) {
  if (address != nullptr) {
    EqData spare;
    EqData* res = result != nullptr ? result : &spare;
    if (is_unmonitorable(*address)) {
      if (res != request) res->init();
      return fail(res, ERR_NOT_MONITORED);
    }
    std::string endpoint;
    int timeout_ms = 0;
    if (route(address, &endpoint, &timeout_ms)) {
      return monitor_read(endpoint, address, res);
    }
  }
  return get(address, request, result);
}

int EqCall::update(int /*mode*/) {
  ++update_calls;
  monitor_sweep();
  return 0;
}
