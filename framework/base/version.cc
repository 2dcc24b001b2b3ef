// version.cc - the version text, given by the build.

#include "framework/base/version.h"

namespace norix {

const char* version() {
  return NORIX_VERSION;
}

}  // namespace norix
