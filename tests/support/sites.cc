// sites.cc - served FSM locations for the data tests (apart from
// devices.cc, so that tests of plain states link without the locations).

#include "tests/support/devices.h"

namespace devtest {

Site::Site(const char* name, int type) : loc(new EqFSMlocation(type)) {
  use_client();
  loc->set_name(name);
  norix::serve_location(loc);
}

Site::~Site() {
  norix::unserve_location(loc);
  for (auto it = owned_.rbegin(); it != owned_.rend(); ++it)
    delete *it;
  delete loc;
}

}  // namespace devtest
