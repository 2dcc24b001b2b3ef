// eq_call.cc - not written yet.

#include "framework/norix.h"
