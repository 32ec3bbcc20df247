#pragma once
// The library is built with hidden visibility; what callers outside it may use
// (the signing module, the unit tests) is marked VORN_API. The shipped C header
// defines the mark, so that it compiles on its own.
#include "pkiGlobal_C.h"
