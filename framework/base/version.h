// version.h - the version of the norix libraries and programs, as the
// build states it ("1.0.0").

#ifndef FRAMEWORK_BASE_VERSION_H
#define FRAMEWORK_BASE_VERSION_H

namespace norix {

const char* version();

}  // namespace norix

#endif  // FRAMEWORK_BASE_VERSION_H
