// server_fixture.h - the running locations that the server cases of
// fsm_bench share.
//
// The locations are started once, through the runtime's start-up sequence
// (framework/host/start_sequence.h) with the library's hooks, and run until the
// process ends: REF (the reference machine, with FLOW_0..2 and a routed
// property IVAL), M000..M099 (one-state machines for send_event) and DATA
// (states with 1, 10 and 100 items bound to the served location DEV).

#ifndef BENCH_SERVER_FIXTURE_H
#define BENCH_SERVER_FIXTURE_H

#include <atomic>
#include <string>
#include <vector>

#include "bench/machines.h"
#include "fsm/fsm.h"

namespace fsmbench {

constexpr int MACHINES = 100;
constexpr int ITEM_COUNTS[] = {1, 10, 100};

// Starts every location once, as the server does; "" or what failed.
const std::string& start_server();

Desc& ref_desc();                                  // REF's machine
extern Built* ref_machine;                         // REF's states, once started
extern EqFSMlocation* ref_loc;                     // REF
extern EqFSMlocation* data_loc;                    // DATA
extern std::vector<EqFSMlocation*> small_locs;     // M000..M099
extern std::atomic<long> machine_ticks[MACHINES];  // ticks seen by each of M000..M099

// The address of DEV's property i % 100 (P000..P099, ints of value i).
std::string device_address(int i);

// Waits (30 s at most) until value reaches at_least; false on timeout.
bool wait_until(const std::atomic<long>& value, long at_least);

// The ends of REF's cycles: handler_probe = note_tick counts them.
void note_tick();
long ticks();
bool wait_ticks(long n);  // until n cycles have ended (30 s at most)

// Posts the cycle scenario through REF's queue a few times and compares
// the machine with the model; "" when they agree. The model keeps where
// the flows stand between cases (the cases leave them where they found
// them); its counters start from the machine's.
std::string check_ref(Model* model);
Model& ref_model();  // REF's model, shared by the cases

// The groups of server cases; register_server_cases calls them in turn.
void register_latency_cases();     // tick and interrupts beside a raw wake-up
void register_contention_cases();  // the engine under readers and interrupts
void register_data_cases();        // send_event, bound data, routed data
void register_settings_cases();    // settings files

}  // namespace fsmbench

#endif  // BENCH_SERVER_FIXTURE_H
