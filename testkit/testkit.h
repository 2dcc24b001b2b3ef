// testkit.h - the offline test kit for machines built on this library.
//
// Builds a machine from its create function in the test's own process,
// without a server and without engine threads; delivers events, ticks and
// interrupts synchronously on the test's thread; serves fake device
// properties in-process; reads flows and FAULT as a client does; records
// actions for whole-sequence assertions; a clock that tests advance for
// timeouts; a reference model of the event
// stream for property-based tests of machine shapes. serve() starts
// machines through the server's hooks with their real engine threads
// instead. Also bounded waits, temporary folders and child processes for
// end-to-end tests of server programs.
// Link the target norix::testkit.

#ifndef TESTKIT_TESTKIT_H
#define TESTKIT_TESTKIT_H

#include "testkit/clock.h"
#include "testkit/connection.h"
#include "testkit/device.h"
#include "testkit/files.h"
#include "testkit/machine.h"
#include "testkit/model.h"
#include "testkit/process.h"
#include "testkit/replay.h"
#include "testkit/sync.h"

#endif  // TESTKIT_TESTKIT_H
