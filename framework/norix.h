// norix.h - the host framework interface that the FSM library builds on.
//
// This is our own stand-in for the server framework, one header per
// concept: client-side data containers (eq_data.h) and their error codes
// (errors.h), device addresses (eq_adr.h) and client calls (eq_call.h), the
// server's location and property base classes (eq_fct.h) with their saved
// values (saved_values.h), the property classes (properties.h), history
// archives (archive.h), and the process-wide registry of served locations
// through which EqCall reaches properties (registry.h). Everything the
// library calls is declared there; this header includes them all.
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
#include "framework/objects/archive.h"
#include "framework/objects/eq_fct.h"
#include "framework/objects/properties.h"
#include "framework/objects/registry.h"
#include "framework/objects/saved_values.h"
#include "framework/values/eq_adr.h"
#include "framework/values/eq_data.h"
#include "framework/values/errors.h"

#endif  // FRAMEWORK_NORIX_H
