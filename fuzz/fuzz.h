// fuzz.h - what the fuzz targets share: the libFuzzer entry point, a check
// that aborts with a message, so that a broken invariant is reported as a
// crash with the input that caused it, and a machine to drive.

#ifndef FUZZ_FUZZ_H
#define FUZZ_FUZZ_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include "fsm/fsm.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

#define FUZZ_CHECK(cond)                                                       \
  do {                                                                         \
    if (!(cond)) {                                                             \
      fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
      abort();                                                                 \
    }                                                                          \
  } while (0)

// A root location of the given machine type, named name, created and
// initialised as the server does and entered on the calling thread. No
// engine threads run: the target dispatches what it posts itself. The
// location lives for the whole process.
inline EqFSMlocation* entered_machine(node_info* type, const char* name) {
  init_list = type;
  gbl_fct_name = type->name;
  auto* loc = static_cast<EqFSMlocation*>(eq_create(100, nullptr));
  loc->set_name(name);
  loc->init();
  loc->state_ptr->link_state();
  loc->state_ptr->init_state();
  loc->state_ptr->enter_state();
  return loc;
}

#endif  // FUZZ_FUZZ_H
