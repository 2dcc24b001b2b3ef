// fsm_data.cc - state-local data items and device addresses (placeholder:
// every data operation reports failure until the data items are written).

#include "fsm/fsm.h"

void FSMstate::add_data(const char*, EqData*, const char*) {}
void FSMstate::set_address(const char*, const char*) {}
int FSMstate::data_open(const char*, int) { return -1; }
int FSMstate::data_open_loc(const char*) { return -1; }
int FSMstate::data_find(int, local_data**) { return -1; }
int FSMstate::data_lock(int, int) { return -1; }
int FSMstate::data_unlock(int, int) { return -1; }
int FSMstate::data_pointer(int, void** pp, int) {
  if (pp != nullptr) *pp = nullptr;
  return -1;
}
int FSMstate::data_get(int, int*, int) { return -1; }
int FSMstate::data_get(int, float*, int) { return -1; }
int FSMstate::data_get(int, char**, int) { return -1; }
int FSMstate::data_get(int, IIII*, int) { return -1; }
int FSMstate::data_get(int, IFFF*, int) { return -1; }
int FSMstate::data_set(int, int, int) { return -1; }
int FSMstate::data_set(int, float, int) { return -1; }
int FSMstate::data_set(int, char*, int) { return -1; }
int FSMstate::data_set(int, IIII*, int) { return -1; }
int FSMstate::data_set(int, IFFF*, int) { return -1; }
int FSMstate::data_set(int, TDS*, int) { return -1; }
int FSMstate::data_geti(int, int*) { return -1; }
int FSMstate::data_getf(int, float*) { return -1; }
int FSMstate::data_gets(int, char**) { return -1; }
int FSMstate::data_getii(int, IIII*) { return -1; }
int FSMstate::data_getif(int, IFFF*) { return -1; }
int FSMstate::data_seti(int, int) { return -1; }
int FSMstate::data_setf(int, float) { return -1; }
int FSMstate::data_sets(int, char*) { return -1; }
int FSMstate::data_setii(int, IIII*) { return -1; }
int FSMstate::data_setif(int, IFFF*) { return -1; }
int FSMstate::data_settd(int, TDS*) { return -1; }
int FSMstate::data_get(int, EqData&) { return -1; }
int FSMstate::data_set(int, EqData&) { return -1; }
void FSMstate::poll_data() { clear_error(); }
