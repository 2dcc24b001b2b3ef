// oven_machines.cc - the oven example's machines: an oven that heats under
// vacuum, a door that joins it from a location of its own, and a monitor
// machine that the oven keeps informed. oven_server.cc registers them in a
// server program; oven_test.cc drives them with the test kit. The machine
// types are listed in oven_machines.h.
//
// The oven mirrors the simulated heater and pump (sim_devices) in data
// items of its root state, whose device addresses come from the address
// properties HEATER and PUMP. Its location properties hold the target
// temperature, the temperature seen, a history of it, counters, the heater
// phase and the outcome of the settings actions. Writing ESTOP raises the
// first interrupt. The settings actions save the heater's and pump's
// settings to a file, watch the live values against it on a thread of
// their own, and restore them.
//
// Actions run on the machine's engine threads with their state's mutex
// held. The settings watcher thread makes its client calls through
// compare_all and otherwise touches only its stop flag,
// the SETTINGS property (which guards itself) and send_event.

#include "examples/oven_machines.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "framework/base/file_beneath.h"
#include "framework/base/file_replace.h"
#include "framework/host/settings_folder.h"
#include "save_restore/sr_func.h"

namespace {

char OVEN[] = "oven";
char MONITOR[] = "monitor";
const char HEATER_ADR[] = "HEATER device address of the heater";
const char PUMP_ADR[] = "PUMP device address of the pump";
constexpr float NEAR = 2.0f;                   // degrees below the target that count as reached
constexpr float VACUUM_MBAR = 1.0f;            // pressure below which the oven is under vacuum
constexpr long long DOOR_OPEN_MS = 60 * 1000;  // a door open this long was left open
constexpr long long RAMP_MS = 10 * 60 * 1000;  // a heater this slow to reach the target is faulty

// States that guards of other states look at. Built once at start-up and
// only read afterwards, on the oven's engine threads.
FSMstate* door_closed = nullptr;
FSMstate* vacuum = nullptr;
FSMsuperstate* heating = nullptr;

// Configured texts of the oven location (settings template and file).
D_string* settings_template = nullptr;
D_string* settings_file = nullptr;

std::string text_of(D_string* p) {
  EqData d;
  p->get(nullptr, nullptr, &d, nullptr);
  return d.text_value();
}

// --- data by name, from any state of the oven ---------------------------------

float get_float(FSMstate* s, const char* name) {
  float v = 0;
  int h = s->data_open(name, 0);
  if (h != -1 && s->data_lock(h, 0) == 0) {
    s->data_get(h, &v, 0);
    s->data_unlock(h, 0);
  }
  return v;
}

int get_int(FSMstate* s, const char* name) {
  int v = 0;
  int h = s->data_open(name, 0);
  if (h != -1 && s->data_lock(h, 0) == 0) {
    s->data_get(h, &v, 0);
    s->data_unlock(h, 0);
  }
  return v;
}

void set_text(FSMstate* s, const char* name, const std::string& text) {
  int h = s->data_open(name, 0);
  if (h != -1) s->data_set(h, const_cast<char*>(text.c_str()), 0);
}

void add_one(FSMstate* s, const char* name) {
  int h = s->data_open(name, 0);
  if (h == -1 || s->data_lock(h, 0) != 0) return;
  int n = 0;
  s->data_get(h, &n, 0);
  s->data_set(h, n + 1, 0);
  s->data_unlock(h, 0);
}

// Writes a value through a data item bound to a device.
void write_device(FSMstate* s, const char* item, EqData value) {
  int h = s->data_open(item, 0);
  if (h >= 0) s->data_set(h, value);
}

void write_device(FSMstate* s, const char* item, int v) {
  EqData d;
  d.set(v);
  write_device(s, item, d);
}

void tell(char* machine, const char* event) {
  FSMevent ev;
  ev.set_event(event, "*");
  send_event(machine, &ev);
}

// --- the oven's root ----------------------------------------------------------

// Binds the device mirrors to the configured device addresses.
int oven_init(FSMstate* s) {
  FSMsuperstate* root = static_cast<FSMsuperstate*>(s);
  D_string* heater = static_cast<D_string*>(root->get_address(HEATER_ADR));
  D_string* pump = static_cast<D_string*>(root->get_address(PUMP_ADR));
  std::string h = heater != nullptr ? text_of(heater) : std::string();
  std::string p = pump != nullptr ? text_of(pump) : std::string();
  root->set_address("TEMP", (h + "/TEMP").c_str());
  root->set_address("FAULTY", (h + "/FAULTY").c_str());
  root->set_address("PRESSURE", (p + "/PRESSURE").c_str());
  root->set_address("RUN", (p + "/RUN").c_str());
  heating->set_address("POWER", (h + "/POWER").c_str());
  heating->set_address("SETPOINT", (h + "/SETPOINT").c_str());
  return 0;
}

// On every event the root handles: show the temperature the heater reports.
int oven_during(FSMstate* s) {
  int h = s->data_open("TEMPERATURE", 0);
  if (h != -1) s->data_set(h, get_float(s, "TEMP"), 0);
  return 0;
}

// The settings file that a property names, inside the server's settings
// folder: 0 and *path, or -1 with the reason in *why.
int settings_file_of(D_string* p, std::string* path, std::string* why) {
  return norix::settings_path(text_of(p), path, why);
}

// The whole file at path, opened beneath the settings folder; false when it
// cannot be read.
bool read_back(const std::string& path, std::string* text) {
  int fd = norix::open_confined(path, O_RDONLY | O_NOCTTY | O_CLOEXEC, 0);
  if (fd < 0) return false;
  char buf[4096];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR)) {
    if (n > 0) text->append(buf, static_cast<size_t>(n));
  }
  close(fd);
  return n == 0;
}

// Removes the file at path through its folder opened beneath the settings
// folder, so that a folder swapped for a link removes nothing outside.
void remove_beneath(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return;  // settings_path gives full paths
  int dir = norix::open_confined(path.substr(0, slash + 1), O_PATH | O_DIRECTORY | O_CLOEXEC, 0);
  if (dir < 0) return;
  unlinkat(dir, path.c_str() + slash + 1, 0);
  close(dir);
}

// Saves into a scratch file first: sr_save leaves a shortened file when a
// device read fails, and that must not replace the last good one.
int save_settings(FSMstate* s) {
  std::string from;
  std::string to;
  std::string why;
  if (settings_file_of(settings_template, &from, &why) != 0 ||
      settings_file_of(settings_file, &to, &why) != 0) {
    set_text(s, "SETTINGS", "not saved: " + why);
    return 0;
  }
  std::string scratch = to + ".saving";
  remove_beneath(scratch);  // a link left there would stop the save
  EqData result;
  if (sr_save(&from[0], &scratch[0], &result, nullptr) != 0) {
    why = result.error() != 0 ? result.text_value() : "a value could not be saved";
  } else {
    std::string text;
    if (!read_back(scratch, &text)) why = scratch + ": cannot read back";
    if (why.empty()) norix::replace_file_confined(to, text, &why);
  }
  remove_beneath(scratch);
  set_text(s, "SETTINGS", why.empty() ? "saved to " + text_of(settings_file) : "not saved: " + why);
  return 0;
}

// --- mode flow ----------------------------------------------------------------

int heater_faulty(FSMstate* s) {
  return get_int(s, "FAULTY") != 0;
}

int heater_sound(FSMstate* s) {
  return get_int(s, "FAULTY") == 0;
}

int ready_to_heat(FSMstate*) {
  return vacuum->is_active() && door_closed->is_active();
}

void count_cycle(FSMstate* s) {
  add_one(s, "CYCLES");
}

int heating_enter(FSMstate* s) {
  EqData target;
  target.set(get_float(s, "TARGET"));
  write_device(s, "SETPOINT", target);
  write_device(s, "POWER", 1);
  tell(MONITOR, "busy");
  return 0;
}

int heating_exit(FSMstate* s) {
  write_device(s, "POWER", 0);
  tell(MONITOR, "quiet");
  return 0;
}

// Emergency stop, on the first interrupt's thread: power off at once, then
// leave heating at the next tick.
int heating_irq1(FSMstate* s) {
  write_device(s, "POWER", 0);
  add_one(s, "ESTOPS");
  tell(OVEN, "estop");
  return 0;
}

int ramp_enter(FSMstate* s) {
  set_text(s, "PHASE", "ramping up");
  return 0;
}

int temp_reached(FSMstate* s) {
  return get_float(s, "TEMP") >= get_float(s, "TARGET") - NEAR;
}

int hold_enter(FSMstate* s) {
  set_text(s, "PHASE", "holding");
  return 0;
}

// Each tick while holding: one sample of the temperature into the history.
int hold_poll(FSMstate* s) {
  int h = s->data_open("TEMP_HIST", 0);
  if (h != -1) s->data_set(h, get_float(s, "TEMP"), 0);
  return 0;
}

int idle_enter(FSMstate* s) {
  set_text(s, "PHASE", "off");
  return 0;
}

// A broken sensor, or a ramp that timed out with a sound sensor.
int fault_enter(FSMstate* s) {
  set_text(s, "PHASE", heater_faulty(s) ? "fault: heater sensor" : "fault: heating too slow");
  tell(MONITOR, "alarm");
  return 0;
}

// --- vacuum flow --------------------------------------------------------------

int vented_enter(FSMstate* s) {
  write_device(s, "RUN", 0);
  return 0;
}

int pumping_enter(FSMstate* s) {
  write_device(s, "RUN", 1);
  return 0;
}

int pressure_low(FSMstate* s) {
  EqData p;
  int h = s->data_open("PRESSURE", 0);
  return h >= 0 && s->data_get(h, p) == 0 && p.error() == 0 && p.get_float() < VACUUM_MBAR;
}

int not_heating(FSMstate*) {
  return !heating->is_active();
}

// --- the door -------------------------------------------------------------------

int ajar_enter(FSMstate*) {
  tell(MONITOR, "alarm");
  return 0;
}

int ajar_exit(FSMstate*) {
  tell(MONITOR, "quiet");
  return 0;
}

// --- settings flow: a thread watches the live settings against the file ---

class Watcher {
 public:
  D_ustr* settings_result = nullptr;  // set at start-up, before any watching

  void start(const std::string& file) {
    __atomic_store_n(&stop_, 0, __ATOMIC_RELEASE);
    thread_ = std::thread([this, file] { run(file); });
  }
  void stop() {
    __atomic_store_n(&stop_, 1, __ATOMIC_RELEASE);
    if (thread_.joinable()) thread_.join();
  }

 private:
  void run(std::string file) {
    EqData control;
    control.set(IFFF{0, 0, 0, 1});  // compare texts, re-read the file, 1 s pause
    int k = compare_all(&file[0], &control, SR_COMP_NOT_CORRECT, &stop_);
    std::string text;
    if (k > 0 && control.error() != SR_ERR_COMPARE) {
      k = -1;  // the file, not an item: it cannot be read
    }
    if (k > 0) {
      text = "item " + std::to_string(k) + " differs: " + control.text_value();
    } else if (k != 0) {
      text = "cannot compare: " + control.text_value();
    }
    if (!text.empty() && settings_result != nullptr) {
      USTR u{};
      u.tm = time(nullptr);
      u.str_data.str_data_val = &text[0];
      u.str_data.str_data_len = static_cast<unsigned>(text.size() + 1);
      settings_result->set_value(&u);
    }
    if (k > 0) tell(OVEN, "drift");
  }

  std::thread thread_;
  int stop_ = 0;  // read by compare_all with atomic loads
};

Watcher* watcher = new Watcher;  // lives as long as the process, like the machine

void note_watching(FSMstate* s) {
  set_text(s, "SETTINGS", "watching " + text_of(settings_file));
}

int watching_enter(FSMstate* s) {
  std::string file;
  std::string why;
  if (settings_file_of(settings_file, &file, &why) != 0) {
    set_text(s, "SETTINGS", "cannot compare: " + why);
    return 0;
  }
  watcher->start(file);
  return 0;
}

int watching_exit(FSMstate*) {
  watcher->stop();
  return 0;
}

// A restore that found nothing to set is a failure as well.
void restore_settings(FSMstate* s) {
  std::string file;
  std::string why;
  EqData result;
  std::vector<sr_data*> items;
  std::vector<sr_data*>* list = &items;
  if (settings_file_of(settings_file, &file, &why) != 0) {
    // why says it
  } else if (fill_list(&file[0], &result, &list) != 0) {
    why = result.text_value();
  } else if (items.empty()) {
    why = text_of(settings_file) + " lists no settings";
  } else if (restore_all(&file[0], &result, SR_SET_FROM_FILE, 1, nullptr) != 0) {
    why = result.error() != 0 ? result.text_value() : "a setting was not restored";
  }
  clear_list(&items);
  set_text(s, "SETTINGS",
           why.empty() ? "restored from " + text_of(settings_file) : "not restored: " + why);
}

// --- building -----------------------------------------------------------------

FSMstate* state(const char* name, const char* descr) {
  return new FSMstate(name, descr, 0);
}

void flow_property(EqFSMlocation* loc, const char* text) {
  loc->flows.push_back(new D_flow(text, loc));
}

// Writing ESTOP raises the oven's first interrupt.
class D_estop : public D_fct {
 public:
  D_estop(const char* text, EqFSMlocation* owner) : D_fct(text, owner), loc_(owner) {}
  void set(EqAdr*, EqData*, EqData*, EqFct*) override { loc_->interrupt1(); }

 private:
  EqFSMlocation* loc_;
};

}  // namespace

void create_oven(EqFSMlocation* loc) {
  FSMsuperstate* root = loc->state_ptr;
  root->add_action("init", oven_init);
  root->add_action("during", oven_during);
  root->add_action("save_settings", save_settings);
  for (const char* item : {"TEMP", "FAULTY", "PRESSURE", "RUN"})
    root->add_data(item, nullptr, nullptr);

  // Flow 0: mode.
  FSMstate* idle = state("idle", "the heater is off");
  idle->add_action("enter", idle_enter);
  idle->add_transition("*", heater_faulty, nullptr, nullptr, nullptr, "fault");
  idle->add_transition("start", ready_to_heat, count_cycle, "lock", "door!*", "heating");
  fsm_name_guard(idle->transition.back(), "vacuum and door closed");  // shown on its edge
  heating = new FSMsuperstate(nullptr, "heating", "heating to the target", 3);
  heating->add_data("POWER", nullptr, nullptr);
  heating->add_data("SETPOINT", nullptr, nullptr);
  heating->add_action("enter", heating_enter);
  heating->add_action("exit", heating_exit);
  heating->add_action("interrupt1", heating_irq1);
  heating->add_transition("*", heater_faulty, nullptr, "unlock", "door!*", "fault");
  heating->add_transition("stop", nullptr, nullptr, "unlock", "door!*", "idle");
  heating->add_transition("estop", nullptr, nullptr, "unlock", "door!*", "idle");
  // A ramp that does not reach the target in time ends heating as a fault:
  // ramp's timeout is sent to heating, whose transitions lead out of it.
  heating->add_transition("too_slow", nullptr, nullptr, "unlock", "door!*", "fault");
  FSMstate* ramp = state("ramp", "ramping up");
  ramp->add_action("enter", ramp_enter);
  ramp->add_transition("*", temp_reached, nullptr, nullptr, nullptr, "hold");
  ramp->add_timeout(RAMP_MS, "too_slow", "heating");
  FSMstate* hold = state("hold", "holding the target");
  hold->add_action("enter", hold_enter);
  hold->add_action("poll", hold_poll);
  heating->add_state(0, ramp);
  heating->add_state(0, hold);
  FSMstate* fault = state("fault", "the heater is faulty");
  fault->add_action("enter", fault_enter);
  fault->add_transition("reset", heater_sound, nullptr, nullptr, nullptr, "idle");
  root->add_state(0, idle);
  root->add_state(0, heating);
  root->add_state(0, fault);

  // Flow 1: vacuum.
  FSMstate* vented = state("vented", "at air");
  vented->add_action("enter", vented_enter);
  vented->add_transition("pump", nullptr, nullptr, nullptr, nullptr, "pumping");
  FSMstate* pumping = state("pumping", "pumping down");
  pumping->add_action("enter", pumping_enter);
  pumping->add_transition("*", pressure_low, nullptr, nullptr, nullptr, "vacuum");
  pumping->add_transition("vent", not_heating, nullptr, nullptr, nullptr, "vented");
  vacuum = state("vacuum", "under vacuum");
  vacuum->add_transition("vent", not_heating, nullptr, nullptr, nullptr, "vented");
  root->add_state(1, vented);
  root->add_state(1, pumping);
  root->add_state(1, vacuum);

  // Flow 2: the door, built by the door location.
  root->add_reference(2, "door");

  // Flow 3: settings.
  FSMstate* unwatched = state("unwatched", "settings not watched");
  unwatched->add_transition("watch", nullptr, note_watching, nullptr, nullptr, "watching");
  FSMstate* watching = state("watching", "settings match the file");
  watching->add_action("enter", watching_enter);
  watching->add_action("exit", watching_exit);
  watching->add_transition("drift", nullptr, nullptr, nullptr, nullptr, "drifted");
  watching->add_transition("unwatch", nullptr, nullptr, nullptr, nullptr, "unwatched");
  FSMstate* drifted = state("drifted", "settings differ from the file");
  drifted->add_transition("restore", nullptr, restore_settings, nullptr, nullptr, "watching");
  drifted->add_transition("unwatch", nullptr, nullptr, nullptr, nullptr, "unwatched");
  root->add_state(3, unwatched);
  root->add_state(3, watching);
  root->add_state(3, drifted);

  flow_property(loc, "FLOW_0 heater mode");
  flow_property(loc, "FLOW_1 vacuum");
  flow_property(loc, "FLOW_2 door");
  flow_property(loc, "FLOW_3 settings");

  auto data = [loc](D_fct* p) { loc->norix_data.push_back(p); };
  data(new norix::D_value<float>("TARGET temperature to heat to", loc));
  data(new norix::D_value<float>("TEMPERATURE temperature the heater reports", loc));
  data(new D_hist("TEMP_HIST temperatures while holding", loc));
  data(new norix::D_value<int>("CYCLES heating cycles started", loc));
  data(new norix::D_value<int>("ESTOPS emergency stops", loc));
  data(new D_ustr("PHASE what the heater does", loc));
  D_ustr* result = new D_ustr("SETTINGS outcome of the last settings action", loc);
  data(result);
  watcher->settings_result = result;
  loc->norix_address.push_back(new D_string(HEATER_ADR, loc));
  loc->norix_address.push_back(new D_string(PUMP_ADR, loc));
  settings_template = new D_string("SR_TEMPLATE settings file listing what to save", loc);
  settings_file = new D_string("SR_FILE settings file written and restored", loc);
  // In the location's list, like the other properties the machine adds, so
  // that whoever destroys the location can release it.
  data(new D_estop("ESTOP write anything to stop heating at once", loc));
  // The settings names too (after ESTOP, which keeps its handle): a second
  // oven made in one process replaces the pointers above, and its
  // location's list is then what still reaches them.
  data(settings_template);
  data(settings_file);
}

void create_door(EqFSMlocation* loc) {
  FSMsuperstate* door = loc->state_ptr;
  door_closed = state("closed", "the door is closed");
  door_closed->add_transition("open", nullptr, nullptr, nullptr, nullptr, "open");
  door_closed->add_transition("lock", nullptr, nullptr, nullptr, nullptr, "locked");
  // A door left open raises the monitor's alarm until it is closed.
  FSMstate* open = state("open", "the door is open");
  open->add_transition("close", nullptr, nullptr, nullptr, nullptr, "closed");
  open->add_timeout(DOOR_OPEN_MS, "left_open", nullptr);
  open->add_transition("left_open", nullptr, nullptr, nullptr, nullptr, "ajar");
  FSMstate* ajar = state("ajar", "the door was left open");
  ajar->add_action("enter", ajar_enter);
  ajar->add_action("exit", ajar_exit);
  ajar->add_transition("close", nullptr, nullptr, nullptr, nullptr, "closed");
  FSMstate* locked = state("locked", "locked while heating");
  locked->add_transition("unlock", nullptr, nullptr, nullptr, nullptr, "closed");
  door->add_state(0, door_closed);
  door->add_state(0, open);
  door->add_state(0, locked);
  door->add_state(0, ajar);
  flow_property(loc, "FLOW_0 door");
}

void create_monitor(EqFSMlocation* loc) {
  FSMsuperstate* root = loc->state_ptr;
  const char* names[] = {"quiet", "busy", "alarm"};
  const char* descrs[] = {"all calm", "the oven is heating", "the oven reports a fault"};
  for (int i = 0; i < 3; ++i) {
    FSMstate* s = state(names[i], descrs[i]);
    for (const char* next : names) {
      if (next != names[i]) s->add_transition(next, nullptr, nullptr, nullptr, nullptr, next);
    }
    root->add_state(0, s);
  }
  flow_property(loc, "FLOW_0 monitor");
}
