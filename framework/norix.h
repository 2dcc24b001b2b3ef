// norix.h - the host framework interface that the FSM library builds on.
//
// This is our own stand-in for the server framework, in sub-layers whose
// includes point down only (scripts/check_layers.sh checks it):
//   base/     text rules, mutex set-up, log, version, json, file replacement
//   values/   client-side data containers (eq_data.h), their error codes
//             (errors.h), device addresses (eq_adr.h)
//   objects/  the server's location and property base classes (eq_fct.h)
//             with their saved values (saved_values.h), the property
//             classes (properties.h), history archives (archive.h), the
//             change signal of values (value_changes.h), and the
//             process-wide registry of served locations through which EqCall
//             reaches properties (registry.h)
//   calls/    client calls (eq_call.h), where calls leave the process
//             (peers.h), the monitors of peers' values (monitors.h), the
//             wire protocol (protocol.h, endpoint.h, remote_call.h) and the
//             command-line client
//   host/     the server runtime: configuration, start-up, settings folder,
//             HTTP endpoint, the server's main
// Everything the library calls is declared in base/ to calls/; this header
// includes what applications use. Nothing in it includes host/.
//
// The fixed names come from the real framework and keep its spelling,
// field order and virtual order:
//   Eq*   client and server classes: EqData (a typed value), EqAdr (an
//         address FACILITY/DEVICE/LOCATION/PROPERTY), EqCall (a client
//         call), EqFct (a location a server serves)
//   D_*   properties of a location: D_fct the base (eq_fct.h), D_string,
//         D_value<T>, D_iiii, D_dig_filter, D_ustr, D_hist (properties.h);
//         D_conf_* the saved value records (saved_values.h)
//   DATA_*, ERR_*  the type codes of EqData and the error codes (errors.h)
//   sr_*  the FSM library's settings files: sr_data, sr_save, ...
//         (save_restore/sr_func.h, not here)
//
// Locking inside the stand-in, in the order they may be taken:
// - every property has an operation mutex (D_fct::op_lock) that EqCall and
//   the host server hold around one get/set/names/write of that property, so
//   that no two such operations run on one property at once; the property
//   may call into the library while it is held;
// - every stand-in property class guards its own value with a value mutex,
//   taken inside set_value(), get(), set() and the scalar value()s (the
//   record classes hand out a pointer to their record, see D_iiii);
// - a D_hist takes its ArchiveFile's mutex last.
// Leaf locks, under which nothing else is taken: the served-location
// registry's mutex (held while a lookup or change runs, never across a call
// into a location or property) and a location's property-list mutex.

#ifndef FRAMEWORK_NORIX_H
#define FRAMEWORK_NORIX_H

#include "framework/calls/eq_call.h"
#include "framework/calls/monitors.h"
#include "framework/calls/peers.h"
#include "framework/objects/archive.h"
#include "framework/objects/eq_fct.h"
#include "framework/objects/properties.h"
#include "framework/objects/registry.h"
#include "framework/objects/saved_values.h"
#include "framework/objects/value_changes.h"
#include "framework/values/eq_adr.h"
#include "framework/values/eq_data.h"
#include "framework/values/errors.h"

#endif  // FRAMEWORK_NORIX_H
