// saved_values.h - the saved values of properties in a server's
// configuration: the records the host loads them into, the set of
// properties a location saves, and the loading of saved value lines.

#ifndef FRAMEWORK_OBJECTS_SAVED_VALUES_H
#define FRAMEWORK_OBJECTS_SAVED_VALUES_H

#include <time.h>

#include <iosfwd>
#include <string>
#include <vector>

class EqFct;
class D_fct;

// The saved value of a property in the server's configuration.
struct D_conf_ustr {
  int i1_data;
  float f1_data;
  float f2_data;
  time_t tm;
  std::string d_name;
};

struct D_conf_struct {
  std::string name;  // property name (first word of its name text)
  D_conf_ustr d_ustr;
};

// The set of properties that are saved to the server's configuration.
// Filled on the start-up thread; not locked.
class Config {
 public:
  struct entry {
    D_fct* property;
    int flags;
  };
  std::vector<entry> entries;
};

namespace norix {

// Host side: loads saved value lines ("<property name> <value text>", as
// EqFct::write writes them) into the location's properties: a D_string-type
// property (type 3) gets the text with read_from_conf; every other gets a
// configuration record (set_conf_record) and then read(). A value text
// " \t<i1> <f1> <f2> <tm> \"<text>\"" fills all five fields of the record;
// a single number fills i1_data and f1_data. Returns the number of lines
// that named no property of the location or did not parse.
int load_config(EqFct* location, std::istream& in);

namespace internal {

// The property's name and its saved value line, written under its
// op_lock(); empty when it writes no value.
std::string saved_line(D_fct* p);

}  // namespace internal

}  // namespace norix

#endif  // FRAMEWORK_OBJECTS_SAVED_VALUES_H
