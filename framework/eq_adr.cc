// eq_adr.cc - not written yet.

#include "framework/norix.h"
