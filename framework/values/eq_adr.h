// eq_adr.h - EqAdr: a device address, FACILITY/DEVICE/LOCATION/PROPERTY in
// text form.

#ifndef FRAMEWORK_VALUES_EQ_ADR_H
#define FRAMEWORK_VALUES_EQ_ADR_H

#include <string>

// EqAdr: a device address, FACILITY/DEVICE/LOCATION/PROPERTY in text form.
// Inside a part, show_adr() writes "\\" for a backslash and "\/" for a "/";
// adr() reads those back, takes any other backslash as it is, leaves missing
// parts empty and gives the property everything after the third "/".

class EqAdr {
 public:
  EqAdr();

  // Parses "FACILITY/DEVICE/LOCATION/PROPERTY"; missing parts become empty.
  void adr(const std::string& text);
  void set(const std::string& facility, const std::string& location, const std::string& device,
           const std::string& property);
  void set_location(const std::string& location);
  void set_property(const std::string& property);

  const char* facility() const { return facility_.c_str(); }
  const char* device() const { return device_.c_str(); }
  const char* location() const { return location_.c_str(); }
  const char* property() const { return property_.c_str(); }

  std::string show_adr() const;  // the text that adr() parses back into the same four parts

 private:
  std::string facility_;
  std::string device_;
  std::string location_;
  std::string property_;
};

#endif  // FRAMEWORK_VALUES_EQ_ADR_H
