// properties.cc - not written yet.

#include "framework/norix.h"
