// oven_machines.cc - the oven example's machines: an oven that heats under
// vacuum, a door that joins it from a location of its own, and a monitor
// machine that the oven keeps informed. oven_server.cc registers them in a
// server program; oven_test.cc drives them with the test kit. The machine
// types are listed in oven_machines.h; each is one definition of
// writer/machine.h, built for every location of its type.
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
// Guards and actions run on the machine's engine threads with their state's
// mutex held, and reach other states, items and properties through their
// Context. The settings watcher thread makes its client calls through
// compare_all and otherwise touches only its stop flag, the SETTINGS
// property (which guards itself) and send_event.

#include "examples/oven_machines.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "framework/base/file_beneath.h"
#include "framework/base/file_replace.h"
#include "framework/host/settings_folder.h"
#include "save_restore/sr_func.h"
#include "writer/machine.h"

namespace {

using fsm::Context;
using fsm::Flow;
using fsm::State;
using std::chrono::minutes;

char OVEN[] = "oven";
constexpr float NEAR = 2.0f;         // degrees below the target that count as reached
constexpr float VACUUM_MBAR = 1.0f;  // pressure below which the oven is under vacuum
constexpr minutes RAMP_LIMIT{10};    // a heater this slow to reach the target is faulty
constexpr minutes LEFT_OPEN{1};      // a door open this long was left open

// The oven's location properties.
const fsm::Address HEATER{"HEATER", "device address of the heater"};
const fsm::Address PUMP{"PUMP", "device address of the pump"};
// Names of settings files, configured texts as the device addresses are.
const fsm::Address SR_TEMPLATE{"SR_TEMPLATE", "settings file listing what to save"};
const fsm::Address SR_FILE{"SR_FILE", "settings file written and restored"};
const fsm::Property<float> TARGET{"TARGET", "temperature to heat to"};
const fsm::Property<float> TEMPERATURE{"TEMPERATURE", "temperature the heater reports"};
const fsm::Property<int> CYCLES{"CYCLES", "heating cycles started"};
const fsm::Property<int> ESTOPS{"ESTOPS", "emergency stops"};
const fsm::Property<std::string> PHASE{"PHASE", "what the heater does"};
const fsm::Item<float> TEMP_HIST{"TEMP_HIST"};
const fsm::Item<std::string> SETTINGS{"SETTINGS"};
// The device values the root state mirrors.
const fsm::Item<float> TEMP{"TEMP"};
const fsm::Item<int> FAULTY{"FAULTY"};

EqData number(int v) {
  EqData d;
  d.set(v);
  return d;
}

// --- settings files -----------------------------------------------------------

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
void save_settings(Context& c) {
  std::string from;
  std::string to;
  std::string why;
  if (norix::settings_path(c.address(SR_TEMPLATE), &from, &why) != 0 ||
      norix::settings_path(c.address(SR_FILE), &to, &why) != 0) {
    c.set(SETTINGS, "not saved: " + why);
    return;
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
  c.set(SETTINGS, why.empty() ? "saved to " + c.address(SR_FILE) : "not saved: " + why);
}

// A restore that found nothing to set is a failure as well.
void restore_settings(Context& c) {
  std::string file;
  std::string why;
  EqData result;
  std::vector<sr_data*> items;
  std::vector<sr_data*>* list = &items;
  if (norix::settings_path(c.address(SR_FILE), &file, &why) != 0) {
    // why says it
  } else if (fill_list(&file[0], &result, &list) != 0) {
    why = result.text_value();
  } else if (items.empty()) {
    why = c.address(SR_FILE) + " lists no settings";
  } else if (restore_all(&file[0], &result, SR_SET_FROM_FILE, 1, nullptr) != 0) {
    why = result.error() != 0 ? result.text_value() : "a setting was not restored";
  }
  clear_list(&items);
  c.set(SETTINGS, why.empty() ? "restored from " + c.address(SR_FILE) : "not restored: " + why);
}

// A thread that watches the live settings against the file.
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
    if (k > 0) {
      FSMevent ev;
      ev.set_event("drift", "*");
      send_event(OVEN, &ev);
    }
  }

  std::thread thread_;
  int stop_ = 0;  // read by compare_all with atomic loads
};

Watcher* watcher = new Watcher;  // lives as long as the process, like the machine

// Writing ESTOP raises the oven's first interrupt.
class D_estop : public D_fct {
 public:
  D_estop(const char* text, EqFSMlocation* owner) : D_fct(text, owner), loc_(owner) {}
  void set(EqAdr*, EqData*, EqData*, EqFct*) override { loc_->interrupt1(); }

 private:
  EqFSMlocation* loc_;
};

// --- the oven -----------------------------------------------------------------

bool heater_faulty(Context& c) {
  return c.get(FAULTY) != 0;
}

// "*" transitions leave for fault on any event once the heater's sensor
// reports itself broken; each of heating's transitions unlocks the door.
const fsm::Machine oven =
    fsm::Machine()
        .item("TEMP")
        .item("FAULTY")
        .item("PRESSURE")
        .item("RUN")
        // Binds the device mirrors to the configured device addresses.
        .init([](Context& c) {
          std::string heater = c.address(HEATER);
          std::string pump = c.address(PUMP);
          c.bind("TEMP", heater + "/TEMP");
          c.bind("FAULTY", heater + "/FAULTY");
          c.bind("PRESSURE", pump + "/PRESSURE");
          c.bind("RUN", pump + "/RUN");
          c.bind("POWER", heater + "/POWER", "heating");
          c.bind("SETPOINT", heater + "/SETPOINT", "heating");
        })
        // On every event the root handles: show the temperature the heater
        // reports.
        .during([](Context& c) { c.set(TEMPERATURE, c.get(TEMP)); })
        .handle("save_settings", save_settings)
        .flow("FLOW_0 heater mode",
              {State("idle", "the heater is off")
                   .enter([](Context& c) { c.set(PHASE, "off"); })
                   .on("*", "fault")
                   .when(heater_faulty)
                   .on("start", "heating")
                   .when([](Context& c) { return c.active("vacuum") && c.active("door/closed"); },
                         "vacuum and door closed")
                   .then([](Context& c) { c.add(CYCLES); })
                   .signal("lock", "door!*"),
               State("heating", "heating to the target", 3)
                   .item("POWER")
                   .item("SETPOINT")
                   .enter([](Context& c) {
                     EqData target;
                     target.set(c.get(TARGET));
                     c.write("SETPOINT", target);
                     c.write("POWER", number(1));
                     c.send("monitor", "busy");
                   })
                   .exit([](Context& c) {
                     c.write("POWER", number(0));
                     c.send("monitor", "quiet");
                   })
                   // Emergency stop, on the first interrupt's thread: power off
                   // at once, then leave heating at the next tick.
                   .interrupt1([](Context& c) {
                     c.write("POWER", number(0));
                     c.add(ESTOPS);
                     c.send("oven", "estop");
                   })
                   .on("*", "fault")
                   .when(heater_faulty)
                   .signal("unlock", "door!*")
                   .on("stop", "idle")
                   .signal("unlock", "door!*")
                   .on("estop", "idle")
                   .signal("unlock", "door!*")
                   // A ramp that does not reach the target in time ends heating
                   // as a fault: ramp's timeout is sent to heating.
                   .on("too_slow", "fault")
                   .signal("unlock", "door!*")
                   .flow(Flow{
                       State("ramp", "ramping up")
                           .enter([](Context& c) { c.set(PHASE, "ramping up"); })
                           .on("*", "hold")
                           .when([](Context& c) { return c.get(TEMP) >= c.get(TARGET) - NEAR; })
                           .after(RAMP_LIMIT, "too_slow", "heating"),
                       State("hold", "holding the target")
                           .enter([](Context& c) { c.set(PHASE, "holding"); })
                           // Each tick: one sample of the temperature.
                           .poll([](Context& c) { c.set(TEMP_HIST, c.get(TEMP)); })}),
               // A broken sensor, or a ramp that timed out with a sound sensor.
               State("fault", "the heater is faulty")
                   .enter([](Context& c) {
                     c.set(PHASE,
                           heater_faulty(c) ? "fault: heater sensor" : "fault: heating too slow");
                     c.send("monitor", "alarm");
                   })
                   .on("reset", "idle")
                   .when([](Context& c) { return !heater_faulty(c); })})
        .flow("FLOW_1 vacuum",
              {State("vented", "at air")
                   .enter([](Context& c) { c.write("RUN", number(0)); })
                   .on("pump", "pumping"),
               State("pumping", "pumping down")
                   .enter([](Context& c) { c.write("RUN", number(1)); })
                   .on("*", "vacuum")
                   .when([](Context& c) {
                     EqData p;
                     return c.read("PRESSURE", &p) == 0 && p.error() == 0 &&
                            p.get_float() < VACUUM_MBAR;
                   })
                   .on("vent", "vented")
                   .when([](Context& c) { return !c.active("heating"); }),
               State("vacuum", "under vacuum").on("vent", "vented").when([](Context& c) {
                 return !c.active("heating");
               })})
        // The door, built by the door location.
        .flow("FLOW_2 door", Flow().adopt("door"))
        .flow("FLOW_3 settings",
              {State("unwatched", "settings not watched")
                   .on("watch", "watching")
                   .then([](Context& c) { c.set(SETTINGS, "watching " + c.address(SR_FILE)); }),
               State("watching", "settings match the file")
                   .enter([](Context& c) {
                     std::string file;
                     std::string why;
                     if (norix::settings_path(c.address(SR_FILE), &file, &why) != 0) {
                       c.set(SETTINGS, "cannot compare: " + why);
                     } else {
                       watcher->start(file);
                     }
                   })
                   .exit([](Context&) { watcher->stop(); })
                   .on("drift", "drifted")
                   .on("unwatch", "unwatched"),
               State("drifted", "settings differ from the file")
                   .on("restore", "watching")
                   .then(restore_settings)
                   .on("unwatch", "unwatched")})
        .property(TARGET)
        .property(TEMPERATURE)
        .property([](EqFSMlocation* loc) -> D_fct* {
          return new D_hist("TEMP_HIST temperatures while holding", loc);
        })
        .property(CYCLES)
        .property(ESTOPS)
        .property(PHASE)
        .property([](EqFSMlocation* loc) -> D_fct* {
          auto* result = new D_ustr("SETTINGS outcome of the last settings action", loc);
          watcher->settings_result = result;
          return result;
        })
        .property(HEATER)
        .property(PUMP)
        .property(SR_TEMPLATE)
        .property(SR_FILE)
        .property([](EqFSMlocation* loc) -> D_fct* {
          return new D_estop("ESTOP write anything to stop heating at once", loc);
        });

// --- the door and the monitor -------------------------------------------------

// A door left open for a minute raises the monitor's alarm until it is
// closed.
const fsm::Machine door = fsm::Machine().flow(
    "FLOW_0 door", {State("closed", "the door is closed").on("open", "open").on("lock", "locked"),
                    State("open", "the door is open")
                        .on("close", "closed")
                        .after(LEFT_OPEN, "left_open")
                        .on("left_open", "ajar"),
                    State("locked", "locked while heating").on("unlock", "closed"),
                    State("ajar", "the door was left open")
                        .enter([](Context& c) { c.send("monitor", "alarm"); })
                        .exit([](Context& c) { c.send("monitor", "quiet"); })
                        .on("close", "closed")});

// Each state goes to the state its event names.
fsm::Machine make_monitor() {
  const char* names[] = {"quiet", "busy", "alarm"};
  const char* descriptions[] = {"all calm", "the oven is heating", "the oven reports a fault"};
  Flow flow;
  for (int i = 0; i < 3; ++i) {
    State s(names[i], descriptions[i]);
    for (const char* next : names) {
      if (next != names[i]) s.on(next, next);
    }
    flow.add(s);
  }
  return fsm::Machine().flow("FLOW_0 monitor", flow);
}

const fsm::Machine monitor = make_monitor();

}  // namespace

void create_oven(EqFSMlocation* loc) {
  oven.build(loc);
}

void create_door(EqFSMlocation* loc) {
  door.build(loc);
}

void create_monitor(EqFSMlocation* loc) {
  monitor.build(loc);
}
