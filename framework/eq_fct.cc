// eq_fct.cc - not written yet.

#include "framework/norix.h"
