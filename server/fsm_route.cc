// fsm_route.cc - a superstate's access to its location's properties: data
// routing through location handles, and address properties.
//
// A location handle names an entry of a location's norix_data list relative
// to the state that opened it. The lists are filled before the machine's
// threads start and are read without a lock afterwards. Routed reads and
// writes take no library lock; callers bracket a read and a write with
// data_lock / data_unlock (the location's per-property mutex, or prop_amux
// before bind). Each routed access holds the property's operation lock, the
// one the framework holds around a client's get or set, so that a record or
// text read through value() is never torn by a concurrent client write;
// nothing else is taken while it is held.

#include <errno.h>
#include <limits.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <string>

#include "framework/base/text.h"
#include "fsm/fsm_core.h"
#include "fsm/fsm_handle.h"
#include "fsm/internal.h"
#include "server/fsm_binding.h"

namespace {

// Texts composed for numeric properties, terminator included; a caller's
// array of this size always holds them (fsm_core.h states it).
constexpr size_t kComposedSize = 256;

// Holds a property's operation lock for one routed access.
class op_guard {
 public:
  explicit op_guard(D_fct* p) : mux_(p->op_lock()) { pthread_mutex_lock(mux_); }
  ~op_guard() { pthread_mutex_unlock(mux_); }
  op_guard(const op_guard&) = delete;
  op_guard& operator=(const op_guard&) = delete;

 private:
  pthread_mutex_t* mux_;
};

// The property as class T when it reports the type code of T, else null. A
// property of another class that reports the same code is refused.
template <typename T>
T* as(D_fct* p, int type) {
  return p->data_type() == type ? dynamic_cast<T*>(p) : nullptr;
}

using IntValue = norix::D_value<int>;
using FloatValue = norix::D_value<float>;

// The property that a location handle names, or null.
D_fct* routed(FSMsuperstate* sp, int handle, int flag) {
  void* pp = nullptr;
  if (sp->FSMsuperstate::data_pointer(handle, &pp, flag) != 0) return nullptr;
  return static_cast<D_fct*>(pp);
}

// Reads an integer as "%d" does (leading white space, sign, digits) and
// moves *pp past it; false when no number begins there or it does not fit.
bool parse_int(const char** pp, int* out) {
  long long v = 0;
  if (!norix::internal::parse_integer(*pp, 10, INT_MIN, INT_MAX, &v, pp)) return false;
  *out = static_cast<int>(v);
  return true;
}

// Reads a float as "%f" does; false when no number begins there or it
// overflows a float.
bool parse_float(const char** pp, float* out) {
  char* end = nullptr;
  errno = 0;
  float v = strtof(*pp, &end);
  if (end == *pp || (errno == ERANGE && isinf(v))) return false;
  *out = v;
  *pp = end;
  return true;
}

// Copies text (at most kComposedSize bytes with its terminator) into the
// caller's array, or into a new one when *ds is null.
void hand_out(const char* text, size_t len, char** ds) {
  if (*ds == nullptr) {
    *ds = new char[len + 1];
    memcpy(*ds, text, len + 1);
    return;
  }
  if (len > kComposedSize - 1) len = kComposedSize - 1;
  memcpy(*ds, text, len);
  (*ds)[len] = '\0';
}

int add_sample(D_hist* hp, const TDS& sample) {
  TDS copy = sample;
  op_guard g(hp);
  hp->fill_hist(&copy, nullptr);
  return 0;
}

int add_sample(D_hist* hp, float value) {
  TDS sample;
  sample.tm = time(nullptr);
  sample.data = value;
  sample.status = 0;
  return add_sample(hp, sample);
}

// --- reads: 0, or -1 for a type the operation does not serve ---

int read_int(D_fct* p, int* out) {
  if (auto* ip = as<IntValue>(p, DATA_INT)) {
    op_guard g(p);
    *out = ip->value();
    return 0;
  }
  if (auto* fp = as<FloatValue>(p, DATA_FLOAT)) {
    double v;
    {
      op_guard g(p);
      v = fp->value();
    }
    // Truncation toward zero; as EqData converts: values beyond the int
    // range saturate and NaN gives 0, never an undefined conversion.
    if (isnan(v)) {
      *out = 0;
    } else if (v <= static_cast<double>(INT_MIN)) {
      *out = INT_MIN;
    } else if (v >= static_cast<double>(INT_MAX)) {
      *out = INT_MAX;
    } else {
      *out = static_cast<int>(v);
    }
    return 0;
  }
  return -1;
}

int read_float(D_fct* p, float* out) {
  if (auto* ip = as<IntValue>(p, DATA_INT)) {
    op_guard g(p);
    *out = static_cast<float>(ip->value());
    return 0;
  }
  if (auto* fp = as<FloatValue>(p, DATA_FLOAT)) {
    op_guard g(p);
    *out = fp->value();
    return 0;
  }
  return -1;
}

int read_text(D_fct* p, char** ds) {
  char buf[kComposedSize];
  int n = -1;
  if (auto* ip = as<IntValue>(p, DATA_INT)) {
    op_guard g(p);
    n = snprintf(buf, sizeof buf, "%d", ip->value());
  } else if (auto* fp = as<FloatValue>(p, DATA_FLOAT)) {
    op_guard g(p);
    n = snprintf(buf, sizeof buf, "%f", static_cast<double>(fp->value()));
  } else if (auto* ii = as<D_iiii>(p, DATA_IIII)) {
    op_guard g(p);
    const IIII* v = ii->value();
    n = snprintf(buf, sizeof buf, "%d %d %d %d", v->i1_data, v->i2_data, v->i3_data, v->i4_data);
  } else if (auto* fi = as<D_dig_filter>(p, DATA_IFFF)) {
    op_guard g(p);
    const IFFF* v = fi->value();
    n = snprintf(buf, sizeof buf, "%d %f %f %f", v->i1_data, static_cast<double>(v->f1_data),
                 static_cast<double>(v->f2_data), static_cast<double>(v->f3_data));
  } else if (auto* up = as<D_ustr>(p, DATA_USTR)) {
    // Copied under the lock: the text belongs to the property.
    op_guard g(p);
    const char* text = fsm_internal::text_or_empty(up->value()->str_data.str_data_val);
    hand_out(text, strlen(text), ds);
    return 0;
  }
  if (n < 0) return -1;
  hand_out(buf, strlen(buf), ds);
  return 0;
}

int read_iiii(D_fct* p, IIII* out) {
  auto* ii = as<D_iiii>(p, DATA_IIII);
  if (ii == nullptr) return -1;
  op_guard g(p);
  *out = *ii->value();
  return 0;
}

int read_ifff(D_fct* p, IFFF* out) {
  auto* fi = as<D_dig_filter>(p, DATA_IFFF);
  if (fi == nullptr) return -1;
  op_guard g(p);
  *out = *fi->value();
  return 0;
}

// --- writes: 0, or -1 for a type the operation does not serve ---

int write_int(D_fct* p, int value) {
  if (auto* ip = as<IntValue>(p, DATA_INT)) {
    op_guard g(p);
    ip->set_value(value);
    return 0;
  }
  if (auto* hp = as<D_hist>(p, DATA_HIST)) return add_sample(hp, static_cast<float>(value));
  return -1;
}

int write_float(D_fct* p, float value) {
  if (auto* fp = as<FloatValue>(p, DATA_FLOAT)) {
    op_guard g(p);
    fp->set_value(value);
    return 0;
  }
  if (auto* hp = as<D_hist>(p, DATA_HIST)) return add_sample(hp, value);
  return -1;
}

// A text that does not begin with a number leaves an int or float property
// unchanged (-1); one that does not hold four numbers leaves a record
// property unchanged (0).
int write_text(D_fct* p, char* ds) {
  const char* cp = ds;
  if (auto* ip = as<IntValue>(p, DATA_INT)) {
    int v;
    if (!parse_int(&cp, &v)) return -1;
    op_guard g(p);
    ip->set_value(v);
    return 0;
  }
  if (auto* fp = as<FloatValue>(p, DATA_FLOAT)) {
    float v;
    if (!parse_float(&cp, &v)) return -1;
    op_guard g(p);
    fp->set_value(v);
    return 0;
  }
  if (auto* ii = as<D_iiii>(p, DATA_IIII)) {
    IIII v;
    if (parse_int(&cp, &v.i1_data) && parse_int(&cp, &v.i2_data) && parse_int(&cp, &v.i3_data) &&
        parse_int(&cp, &v.i4_data)) {
      op_guard g(p);
      ii->set_value(&v);
    }
    return 0;
  }
  if (auto* fi = as<D_dig_filter>(p, DATA_IFFF)) {
    IFFF v;
    if (parse_int(&cp, &v.i1_data) && parse_float(&cp, &v.f1_data) &&
        parse_float(&cp, &v.f2_data) && parse_float(&cp, &v.f3_data)) {
      op_guard g(p);
      fi->set_value(&v);
    }
    return 0;
  }
  if (auto* up = as<D_ustr>(p, DATA_USTR)) {
    USTR v;
    v.i1_data = 0;
    v.f1_data = 0;
    v.f2_data = 0;
    v.tm = time(nullptr);
    v.str_data.str_data_len = static_cast<unsigned int>(strlen(ds) + 1);
    v.str_data.str_data_val = ds;  // the property keeps its own copy
    op_guard g(p);
    up->set_value(&v);
    return 0;
  }
  return -1;
}

int write_iiii(D_fct* p, IIII* value) {
  auto* ii = as<D_iiii>(p, DATA_IIII);
  if (ii == nullptr) return -1;
  op_guard g(p);
  ii->set_value(value);
  return 0;
}

int write_ifff(D_fct* p, IFFF* value) {
  auto* fi = as<D_dig_filter>(p, DATA_IFFF);
  if (fi == nullptr) return -1;
  op_guard g(p);
  fi->set_value(value);
  return 0;
}

int write_tds(D_fct* p, TDS* value) {
  auto* hp = as<D_hist>(p, DATA_HIST);
  return hp != nullptr ? add_sample(hp, *value) : -1;
}

}  // namespace

// --- handles ---

int FSMsuperstate::data_open(const char* namep, int flag) {
  if (flag != 0) return data_open_net(namep, flag);
  int handle = data_open_loc(namep);
  return handle != -1 ? handle : data_open_net(namep, 0);
}

// Walks up to the machine's root; the nearest location holding a property
// whose first word is np wins. With flag set the level counts from the
// sub-state that asked.
int FSMsuperstate::data_open_net(const char* np, int flag) {
  if (np == nullptr) return -1;
  const FSMstate* sp = this;
  for (int level = 0; level <= fsm_handle::MAX_LEVEL; ++level) {
    auto* ss = dynamic_cast<const FSMsuperstate*>(sp);
    if (ss != nullptr && ss->location != nullptr) {
      const std::vector<D_fct*>& list = ss->location->norix_data;
      for (size_t i = 0; i < list.size(); ++i) {
        if (list[i]->name() == np) return fsm_handle::encode(true, level + (flag != 0 ? 1 : 0), i);
      }
    }
    if (sp->type == FSM_TYPE_ROOT || sp->parent == nullptr) return -1;
    sp = sp->parent;
  }
  return -1;
}

int FSMsuperstate::data_find(int handle, int flag, EqFSMlocation** locp) {
  if (!fsm_handle::is_location(handle)) return -1;
  int level = fsm_handle::level_of(handle);
  size_t index = fsm_handle::position_of(handle);
  if (flag != 0) {
    if (level == 0) return -1;
    --level;
  }
  const FSMstate* sp = this;
  for (; level > 0 && sp->type != FSM_TYPE_ROOT; --level) {
    sp = sp->parent;
    if (sp == nullptr) return -1;
  }
  auto* ss = dynamic_cast<const FSMsuperstate*>(sp);
  if (ss == nullptr || ss->location == nullptr || index >= ss->location->norix_data.size()) {
    return -1;
  }
  if (locp != nullptr) *locp = ss->location;
  return static_cast<int>(index);
}

int FSMsuperstate::data_pointer(int handle, void** pp, int flag) {
  if (pp == nullptr) return -1;
  EqFSMlocation* loc = nullptr;
  int index = data_find(handle, flag, &loc);
  *pp = index < 0 ? nullptr : loc->norix_data[index];
  return index < 0 ? -1 : 0;
}

// --- locks ---

namespace {

// The property's mutex in the location's table, or prop_amux for a location
// without a table and for properties appended after the table was made.
pthread_mutex_t* property_mutex(EqFSMlocation* loc, int index) {
  size_t i = static_cast<size_t>(index);
  return i < loc->prop_mux_data ? &loc->prop_mux[i] : &loc->prop_amux;
}

}  // namespace

// Takes the property's mutex of the location's table, or prop_amux when the
// location has no table yet; waits until it is held.
int FSMsuperstate::data_lock(int handle, int flag) {
  if (handle >= 0) return FSMstate::data_lock(handle, 0);
  EqFSMlocation* loc = nullptr;
  int index = data_find(handle, flag, &loc);
  if (index < 0) return -1;
  pthread_mutex_lock(property_mutex(loc, index));
  return 0;
}

int FSMsuperstate::data_unlock(int handle, int flag) {
  if (handle >= 0) return FSMstate::data_unlock(handle, 0);
  EqFSMlocation* loc = nullptr;
  int index = data_find(handle, flag, &loc);
  if (index < 0) return -1;
  pthread_mutex_unlock(property_mutex(loc, index));
  return 0;
}

// --- routed reads and writes; unresolved handles go to the local data ---

int FSMsuperstate::data_get(int handle, int* di, int flag) {
  D_fct* p = routed(this, handle, flag);
  if (p == nullptr) return data_geti(handle, di);
  return di != nullptr ? read_int(p, di) : -1;
}

int FSMsuperstate::data_get(int handle, float* df, int flag) {
  D_fct* p = routed(this, handle, flag);
  if (p == nullptr) return data_getf(handle, df);
  return df != nullptr ? read_float(p, df) : -1;
}

int FSMsuperstate::data_get(int handle, char** ds, int flag) {
  D_fct* p = routed(this, handle, flag);
  if (p == nullptr) return data_gets(handle, ds);
  return ds != nullptr ? read_text(p, ds) : -1;
}

int FSMsuperstate::data_get(int handle, IIII* di, int flag) {
  D_fct* p = routed(this, handle, flag);
  if (p == nullptr) return data_getii(handle, di);
  return di != nullptr ? read_iiii(p, di) : -1;
}

int FSMsuperstate::data_get(int handle, IFFF* df, int flag) {
  D_fct* p = routed(this, handle, flag);
  if (p == nullptr) return data_getif(handle, df);
  return df != nullptr ? read_ifff(p, df) : -1;
}

int FSMsuperstate::data_set(int handle, int di, int flag) {
  D_fct* p = routed(this, handle, flag);
  return p != nullptr ? write_int(p, di) : data_seti(handle, di);
}

int FSMsuperstate::data_set(int handle, float df, int flag) {
  D_fct* p = routed(this, handle, flag);
  return p != nullptr ? write_float(p, df) : data_setf(handle, df);
}

int FSMsuperstate::data_set(int handle, char* ds, int flag) {
  if (ds == nullptr) return 0;
  D_fct* p = routed(this, handle, flag);
  return p != nullptr ? write_text(p, ds) : data_sets(handle, ds);
}

// A null record changes nothing (0), as for local items.
int FSMsuperstate::data_set(int handle, IIII* di, int flag) {
  D_fct* p = routed(this, handle, flag);
  if (p == nullptr) return data_setii(handle, di);
  return di != nullptr ? write_iiii(p, di) : 0;
}

int FSMsuperstate::data_set(int handle, IFFF* df, int flag) {
  D_fct* p = routed(this, handle, flag);
  if (p == nullptr) return data_setif(handle, df);
  return df != nullptr ? write_ifff(p, df) : 0;
}

int FSMsuperstate::data_set(int handle, TDS* dt, int flag) {
  D_fct* p = routed(this, handle, flag);
  if (p == nullptr) return data_settd(handle, dt);
  return dt != nullptr ? write_tds(p, dt) : 0;
}

// --- address properties ---

void* FSMsuperstate::get_address(const char* np) {
  if (np == nullptr || location == nullptr) return nullptr;
  for (D_fct* p : location->norix_address) {
    if (p->name_text() == np) return p;
  }
  return nullptr;
}
