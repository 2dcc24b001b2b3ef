// fsm_data.cc - state-local data items, their handles and their devices.
//
// A data item's mutex guards its container and its address text against the
// refresh (poll_data) and set_address; the typed accessors take no lock, so
// callers that share an item with the refresh bracket them with data_lock
// and data_unlock. Lock order (fsm/fsm_core.h): state mutex (L1; poll_data
// runs under it), then an item mutex (L2); the device call takes no library
// lock and reaches the property under its operation lock (L4). The state owns its items; they are
// added while the machine is built and never removed, so a position never changes.

#include <stdint.h>
#include <string.h>

#include "fsm/fsm_core.h"
#include "fsm/fsm_handle.h"
#include "fsm/internal.h"

namespace {

// Device error texts are read into this many bytes (terminator included);
// so is the text of data_gets, which callers' 81-byte arrays always hold.
constexpr unsigned long kTextSize = 80;
// Recorded like a device error when no client call object exists yet.
constexpr const char* kNoCallText = "no client call object";

FSMstate::local_data* find_item(const FSMstate* sp, const char* nm) {
  for (FSMstate::local_data* item : sp->data) {
    if (item->name == nm) return item;
  }
  return nullptr;
}

// The state that negative handles are handed to; a state that is its own
// parent has nobody to hand them to.
FSMstate* upper(const FSMstate* sp) {
  FSMstate* pp = sp->get_parent();
  return pp == sp ? nullptr : pp;
}

// The bit pattern the client call takes for "no callback".
EQ_CB no_callback() {
  return reinterpret_cast<EQ_CB>(~static_cast<uintptr_t>(0));
}

}  // namespace

void FSMstate::add_data(const char* namep, EqData* ptr, const char* eq_name) {
  if (namep == nullptr) return;
  local_data* item = find_item(this, namep);
  if (item != nullptr) {
    if (ptr != nullptr) {
      pthread_mutex_lock(&item->mux);
      item->eq_data.copy_from(ptr);
      pthread_mutex_unlock(&item->mux);
    }
    return;
  }
  item = new local_data;
  item->name = namep;
  item->eq_data.init();
  if (eq_name != nullptr) item->eq_name = eq_name;
  fsm_internal::init_private_mutex(&item->mux);
  if (ptr != nullptr) item->eq_data.copy_from(ptr);
  data.push_back(item);
}

// Takes the item's mutex while the address changes.
void FSMstate::set_address(const char* namep, const char* eq_name) {
  if (namep == nullptr) return;
  local_data* item = find_item(this, namep);
  if (item == nullptr && parent != nullptr && root != nullptr && parent != this && root != this) {
    item = find_item(parent, namep);
    if (item == nullptr) item = find_item(root, namep);
  }
  if (item == nullptr) return;
  pthread_mutex_lock(&item->mux);
  item->eq_name = eq_name != nullptr ? eq_name : "";
  pthread_mutex_unlock(&item->mux);
}

int FSMstate::data_open(const char* namep, int flag) {
  if (flag != 0 || namep == nullptr) return -1;
  int handle = data_open_loc(namep);
  if (handle != -1) return handle;
  FSMstate* up = upper(this);
  return up != nullptr ? up->data_open(namep, 1) : -1;
}

// The nearest item of the name wins; when its handle cannot be encoded the
// result is -1 rather than the handle of a farther item.
int FSMstate::data_open_loc(const char* nm) {
  if (nm == nullptr) return -1;
  const FSMstate* sp = this;
  for (int level = 0; level <= fsm_handle::MAX_LEVEL; ++level) {
    for (size_t i = 0; i < sp->data.size(); ++i) {
      if (sp->data[i]->name == nm) return fsm_handle::encode(false, level, i);
    }
    if (sp->type == FSM_TYPE_ROOT || sp->parent == nullptr) return -1;
    sp = sp->parent;
  }
  return -1;
}

int FSMstate::data_find(int handle, local_data** ldp) {
  if (!fsm_handle::is_local(handle)) return -1;
  int level = fsm_handle::level_of(handle);
  size_t position = fsm_handle::position_of(handle);
  const FSMstate* sp = this;
  for (; level > 0 && sp->type != FSM_TYPE_ROOT; --level) {
    sp = sp->parent;
    if (sp == nullptr) return -1;
  }
  if (position >= sp->data.size()) return -1;
  if (ldp != nullptr) *ldp = sp->data[position];
  return static_cast<int>(position);
}

int FSMstate::data_lock(int handle, int) {
  if (handle < 0) {
    FSMstate* up = upper(this);
    return up != nullptr ? up->data_lock(handle, 1) : -1;
  }
  local_data* item = nullptr;
  if (data_find(handle, &item) < 0) return -1;
  pthread_mutex_lock(&item->mux);
  return 0;
}

int FSMstate::data_unlock(int handle, int) {
  if (handle < 0) {
    FSMstate* up = upper(this);
    return up != nullptr ? up->data_unlock(handle, 1) : -1;
  }
  local_data* item = nullptr;
  if (data_find(handle, &item) < 0) return -1;
  pthread_mutex_unlock(&item->mux);
  return 0;
}

int FSMstate::data_pointer(int handle, void** pp, int) {
  FSMstate* up = upper(this);
  if (handle < 0 && up != nullptr) return up->data_pointer(handle, pp, 1);
  if (pp != nullptr) *pp = nullptr;
  return -1;
}

// --- typed entry points: local handles here, negative ones upwards ---

int FSMstate::data_get(int handle, int* di, int) {
  if (handle >= 0) return data_geti(handle, di);
  FSMstate* up = upper(this);
  return up != nullptr ? up->data_get(handle, di, 1) : -1;
}

int FSMstate::data_get(int handle, float* df, int) {
  if (handle >= 0) return data_getf(handle, df);
  FSMstate* up = upper(this);
  return up != nullptr ? up->data_get(handle, df, 1) : -1;
}

int FSMstate::data_get(int handle, char** ds, int) {
  if (handle >= 0) return data_gets(handle, ds);
  FSMstate* up = upper(this);
  return up != nullptr ? up->data_get(handle, ds, 1) : -1;
}

int FSMstate::data_get(int handle, IIII* di, int) {
  if (handle >= 0) return data_getii(handle, di);
  FSMstate* up = upper(this);
  return up != nullptr ? up->data_get(handle, di, 1) : -1;
}

int FSMstate::data_get(int handle, IFFF* df, int) {
  if (handle >= 0) return data_getif(handle, df);
  FSMstate* up = upper(this);
  return up != nullptr ? up->data_get(handle, df, 1) : -1;
}

int FSMstate::data_set(int handle, int di, int) {
  if (handle >= 0) return data_seti(handle, di);
  FSMstate* up = upper(this);
  return up != nullptr ? up->data_set(handle, di, 1) : -1;
}

int FSMstate::data_set(int handle, float df, int) {
  if (handle >= 0) return data_setf(handle, df);
  FSMstate* up = upper(this);
  return up != nullptr ? up->data_set(handle, df, 1) : -1;
}

int FSMstate::data_set(int handle, char* ds, int) {
  if (handle >= 0) return data_sets(handle, ds);
  FSMstate* up = upper(this);
  return up != nullptr ? up->data_set(handle, ds, 1) : -1;
}

int FSMstate::data_set(int handle, IIII* di, int) {
  if (handle >= 0) return data_setii(handle, di);
  FSMstate* up = upper(this);
  return up != nullptr ? up->data_set(handle, di, 1) : -1;
}

int FSMstate::data_set(int handle, IFFF* df, int) {
  if (handle >= 0) return data_setif(handle, df);
  FSMstate* up = upper(this);
  return up != nullptr ? up->data_set(handle, df, 1) : -1;
}

int FSMstate::data_set(int handle, TDS* dt, int) {
  if (handle >= 0) return data_settd(handle, dt);
  FSMstate* up = upper(this);
  return up != nullptr ? up->data_set(handle, dt, 1) : -1;
}

// --- typed workers: the item's own container only, without its lock ---
// A null result pointer of a read is refused (-1); a null value of a write
// changes nothing (0).

int FSMstate::data_geti(int handle, int* di) {
  local_data* item = nullptr;
  if (di == nullptr || data_find(handle, &item) < 0) return -1;
  *di = item->eq_data.get_int();
  return 0;
}

int FSMstate::data_getf(int handle, float* df) {
  local_data* item = nullptr;
  if (df == nullptr || data_find(handle, &item) < 0) return -1;
  *df = item->eq_data.get_float();
  return 0;
}

// At most kTextSize bytes reach a caller's array.
int FSMstate::data_gets(int handle, char** ds) {
  local_data* item = nullptr;
  if (ds == nullptr || data_find(handle, &item) < 0) return -1;
  char buf[kTextSize];
  buf[0] = '\0';
  item->eq_data.get_string(buf, sizeof buf);
  buf[sizeof buf - 1] = '\0';
  size_t n = strlen(buf) + 1;
  if (*ds == nullptr) *ds = new char[n];
  memcpy(*ds, buf, n);
  return 0;
}

int FSMstate::data_getii(int handle, IIII* di) {
  local_data* item = nullptr;
  if (di == nullptr || data_find(handle, &item) < 0) return -1;
  *di = *item->eq_data.get_iiii();
  return 0;
}

int FSMstate::data_getif(int handle, IFFF* df) {
  local_data* item = nullptr;
  if (df == nullptr || data_find(handle, &item) < 0) return -1;
  *df = *item->eq_data.get_ifff();
  return 0;
}

int FSMstate::data_seti(int handle, int di) {
  local_data* item = nullptr;
  if (data_find(handle, &item) < 0) return -1;
  item->eq_data.set(di);
  return 0;
}

int FSMstate::data_setf(int handle, float df) {
  local_data* item = nullptr;
  if (data_find(handle, &item) < 0) return -1;
  item->eq_data.set(df);
  return 0;
}

int FSMstate::data_sets(int handle, char* ds) {
  local_data* item = nullptr;
  if (data_find(handle, &item) < 0) return -1;
  if (ds != nullptr) item->eq_data.set(static_cast<const char*>(ds));
  return 0;
}

int FSMstate::data_setii(int handle, IIII* di) {
  local_data* item = nullptr;
  if (data_find(handle, &item) < 0) return -1;
  if (di != nullptr) item->eq_data.set(*di);
  return 0;
}

int FSMstate::data_setif(int handle, IFFF* df) {
  local_data* item = nullptr;
  if (data_find(handle, &item) < 0) return -1;
  if (df != nullptr) item->eq_data.set(*df);
  return 0;
}

int FSMstate::data_settd(int handle, TDS* dt) {
  local_data* item = nullptr;
  if (data_find(handle, &item) < 0) return -1;
  if (dt != nullptr) item->eq_data.set(*dt);
  return 0;
}

// --- whole containers and devices ---

int FSMstate::data_get(int handle, EqData& dt) {
  local_data* item = nullptr;
  if (data_find(handle, &item) < 0) return -1;
  if (item->eq_data.error() != 0) {
    char buf[kTextSize];
    set_error(item->eq_data.get_string(buf, sizeof buf));
  }
  dt.copy_from(&item->eq_data);
  return 0;
}

// Runs on any thread, usually without the state's mutex: the device address
// is parsed into a local EqAdr, not into eq_addr, which belongs to poll_data.
// A caller that may race with set_address on this item holds data_lock.
// A device error is recorded with set_error; the result is 0 either way.
int FSMstate::data_set(int handle, EqData& dt) {
  local_data* item = nullptr;
  if (data_find(handle, &item) < 0) return -1;
  if (item->eq_name.empty()) {
    item->eq_data.copy_from(&dt);
    return 0;
  }
  EqAdr adr;
  adr.adr(item->eq_name);
  EqData eq_result;
  if (norix_call != nullptr) {
    norix_call->set(&adr, &dt, &eq_result);
  } else {
    eq_result.error(ERR_UNREACHABLE, kNoCallText);
  }
  if (eq_result.error() != 0) {
    char buf[kTextSize];
    set_error(eq_result.get_string(buf, sizeof buf));
  }
  return 0;
}

// Called with mux held (eq_addr is used only here); takes each bound item's
// mutex around its device call (lock order L1 -> L2, fsm/fsm_core.h).
// A state without data items only clears its error: the refresh runs on
// every addressed event, so it makes no result container for nothing.
void FSMstate::poll_data() {
  clear_error();
  if (data.empty()) return;
  EqData eq_result;
  for (local_data* item : data) {
    pthread_mutex_lock(&item->mux);
    if (item->eq_name.empty()) {
      pthread_mutex_unlock(&item->mux);
      continue;
    }
    eq_addr.adr(item->eq_name);
    eq_result.init();
    if (norix_call != nullptr) {
      norix_call->get_monitor(&eq_addr, &item->eq_data, &eq_result, 1, 1.0f, no_callback(),
                              nullptr);
      if (eq_result.error() == ERR_NOT_MONITORED) {
        eq_result.init();
        norix_call->get(&eq_addr, &item->eq_data, &eq_result);
      }
    } else {
      eq_result.error(ERR_UNREACHABLE, kNoCallText);
    }
    if (eq_result.error() != 0) {
      char buf[kTextSize];
      set_error(eq_result.get_string(buf, sizeof buf));
    }
    item->eq_data.copy_from(&eq_result);
    pthread_mutex_unlock(&item->mux);
  }
}
