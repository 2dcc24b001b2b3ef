// eq_call.h - EqCall: client calls on properties, here or at a peer server.

#ifndef FRAMEWORK_CALLS_EQ_CALL_H
#define FRAMEWORK_CALLS_EQ_CALL_H

#include "framework/values/eq_adr.h"
#include "framework/values/eq_data.h"

// EqCall: client calls on the locations this process serves (see
// framework/objects/registry.h). Results: 0 on success, else the error code that is also
// stored in the result container with its text (framework/values/errors.h). A result that
// is not also the request is emptied before the property fills it. Calls on
// one EqCall may come from several threads; it keeps no state of its own.
//
// get and set reach FACILITY/DEVICE/LOCATION/PROPERTY, where facility and
// device name this process's server, the location is served and the property
// is found by the first word of its name text; "*" is refused there
// (ERR_BAD_ADDRESS). The property operation runs under its op_lock().

typedef void (*EQ_CB)(void* user, EqData* result, EqAdr* address);

class EqCall {
 public:
  EqCall();
  ~EqCall();

  int get(EqAdr* address, EqData* request, EqData* result);
  // A value of another type than the property's is converted where that
  // makes sense (int and float, text that parses), else ERR_WRONG_TYPE.
  int set(EqAdr* address, EqData* value, EqData* result);
  // One USTR per name below the address, in creation order (DATA_USTR; no
  // names is an empty array): facility "*" the server's facility, device "*"
  // its device, location "*" the served locations (text = name, i1_data =
  // fct_code()), property "*" or empty the properties of a location (text =
  // the whole name text, i1_data = data_type()), else the property's own
  // names answer.
  int names(EqAdr* address, EqData* result);
  // ERR_NOT_MONITORED ("monitor not available") for an address made
  // unmonitorable with norix::set_unmonitorable; like get for one served
  // here; for a peer's address the value that its monitor cached, without
  // any call (framework/calls/monitors.h). mode, rate, cb and user are not used.
  int get_monitor(EqAdr* address, EqData* request, EqData* result, int mode, float rate, EQ_CB cb,
                  void* user);
  int update(int mode);  // counted; drops the monitors unread for long; 0

 private:
  EqCall(const EqCall&) = delete;
  EqCall& operator=(const EqCall&) = delete;
};

namespace norix {

long update_count();  // number of EqCall::update calls so far

}  // namespace norix

#endif  // FRAMEWORK_CALLS_EQ_CALL_H
