#pragma once
// The library is built with hidden visibility; what callers outside it may use
// (the signing module, the unit tests) is marked VORN_API.
#ifndef VORN_API  // pkiGlobal_C.h defines it the same way
#if defined(__GNUC__)
#define VORN_API __attribute__((visibility("default")))
#else
#define VORN_API
#endif
#endif
