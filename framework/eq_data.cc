// eq_data.cc - not written yet.

#include "framework/norix.h"
