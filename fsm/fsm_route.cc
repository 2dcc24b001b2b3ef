// fsm_route.cc - superstate data routing to location properties, address
// properties and the history archiver (placeholder: every routed operation
// reports failure until routing is written).

#include "fsm/fsm.h"

int FSMsuperstate::data_open(const char*, int) { return -1; }
int FSMsuperstate::data_lock(int, int) { return -1; }
int FSMsuperstate::data_unlock(int, int) { return -1; }
int FSMsuperstate::data_pointer(int, void** pp, int) {
  if (pp != nullptr) *pp = nullptr;
  return -1;
}
int FSMsuperstate::data_get(int, int*, int) { return -1; }
int FSMsuperstate::data_get(int, float*, int) { return -1; }
int FSMsuperstate::data_get(int, char**, int) { return -1; }
int FSMsuperstate::data_get(int, IIII*, int) { return -1; }
int FSMsuperstate::data_get(int, IFFF*, int) { return -1; }
int FSMsuperstate::data_set(int, int, int) { return -1; }
int FSMsuperstate::data_set(int, float, int) { return -1; }
int FSMsuperstate::data_set(int, char*, int) { return -1; }
int FSMsuperstate::data_set(int, IIII*, int) { return -1; }
int FSMsuperstate::data_set(int, IFFF*, int) { return -1; }
int FSMsuperstate::data_set(int, TDS*, int) { return -1; }
int FSMsuperstate::data_open_net(const char*, int) { return -1; }
int FSMsuperstate::data_find(int, int, EqFSMlocation**) { return -1; }
void* FSMsuperstate::get_address(const char*) { return nullptr; }
void FSMsuperstate::book_history() {}
void FSMrootstate::init_archiver() {}
