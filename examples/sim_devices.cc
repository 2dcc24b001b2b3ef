// sim_devices.cc - a server of simulated devices for the oven example.
//
// Location types (the TYPE of a configuration's location item):
//   heater  TEMP (float, read-only) moves toward SETPOINT at RATE per
//           update while POWER is 1, and back toward 20 while it is 0;
//           FAULTY 1 breaks the sensor: reading TEMP then fails with
//           "heater sensor broken".
//   pump    PRESSURE (float, read-only) falls by SPEED percent per update
//           while RUN is 1, and rises back toward 1000 while it is 0.
// Settings (SETPOINT, RATE, SPEED) are saved with the configuration.
//
// The update thread changes the values; clients read and write them on
// their own threads. Every value is a framework property that guards itself.

#include <string>

#include "framework/host/server.h"
#include "framework/norix.h"

namespace {

constexpr int CODE_DEVICE = 1;
constexpr int ERR_SENSOR = 120;
constexpr float ROOM = 20.0f;
constexpr float AIR = 1000.0f;

using Float = norix::D_value<float>;
using Int = norix::D_value<int>;

// A temperature reading that fails while its heater is faulty.
class D_sensor : public Float {
 public:
  D_sensor(const char* text, EqFct* owner, Int* faulty) : Float(text, owner), faulty_(faulty) {}
  void get(EqAdr* address, EqData* request, EqData* result, EqFct* location) override {
    if (faulty_->value() != 0) {
      result->error(ERR_SENSOR, "heater sensor broken");
      return;
    }
    Float::get(address, request, result, location);
  }
  void set(EqAdr*, EqData*, EqData* result, EqFct*) override {
    result->error(ERR_ILLEGAL_WRITE, norix::error_text(ERR_ILLEGAL_WRITE));
  }
  void conf(Config*) override {}  // a reading, not a setting

 private:
  Int* faulty_;
};

// A reading that clients cannot write and that is not saved.
class D_reading : public Float {
 public:
  D_reading(const char* text, EqFct* owner) : Float(text, owner) {}
  void set(EqAdr*, EqData*, EqData* result, EqFct*) override {
    result->error(ERR_ILLEGAL_WRITE, norix::error_text(ERR_ILLEGAL_WRITE));
  }
  void conf(Config*) override {}
};

// A switch that is not saved: after a restart the device is off.
class D_switch : public Int {
 public:
  D_switch(const char* text, EqFct* owner) : Int(text, owner) {}
  void conf(Config*) override {}
};

class Heater : public EqFct {
 public:
  Heater()
      : EqFct("NAME = location"),
        faulty_("FAULTY 1 breaks the temperature sensor", this),
        temp_("TEMP temperature in degrees", this, &faulty_),
        setpoint_("SETPOINT temperature to heat to", this),
        rate_("RATE fraction of the gap closed per update", this),
        power_("POWER 1 heats", this) {
    temp_.set_value(ROOM);
    setpoint_.set_value(ROOM);
    rate_.set_value(0.2f);
  }
  int fct_code() override { return CODE_DEVICE; }
  void update() override {
    float target = power_.value() != 0 ? setpoint_.value() : ROOM;
    float t = temp_.value();
    temp_.set_value(t + (target - t) * rate_.value());
  }

 private:
  D_switch faulty_;
  D_sensor temp_;
  Float setpoint_;
  Float rate_;
  D_switch power_;
};

class Pump : public EqFct {
 public:
  Pump()
      : EqFct("NAME = location"),
        pressure_("PRESSURE pressure in mbar", this),
        speed_("SPEED percent of the pressure pumped away per update", this),
        run_("RUN 1 pumps", this) {
    pressure_.set_value(AIR);
    speed_.set_value(50);
  }
  int fct_code() override { return CODE_DEVICE; }
  void update() override {
    float p = pressure_.value();
    if (run_.value() != 0) {
      p -= p * static_cast<float>(speed_.value()) / 100.0f;
    } else {
      p += (AIR - p) * 0.5f;
    }
    pressure_.set_value(p);
  }

 private:
  D_reading pressure_;
  Int speed_;
  D_switch run_;
};

EqFct* create(int code, void*) {
  if (code != CODE_DEVICE) return nullptr;
  if (gbl_fct_name == "heater") return new Heater;
  if (gbl_fct_name == "pump") return new Pump;
  return nullptr;
}

}  // namespace

int main(int argc, char** argv) {
  norix::ServerHooks hooks{};
  hooks.create = create;
  return norix::server_main(argc, argv, hooks);
}
