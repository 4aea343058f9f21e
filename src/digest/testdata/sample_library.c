/* A small 32-bit Windows library for the digest tests: code that refers to
   its own data by absolute address (so its pages carry base relocations)
   and calls an imported function (so it has an import address table).
   SAMPLE_CONSTANT lets the build vary one byte of code. */
#include <windows.h>

#ifndef SAMPLE_CONSTANT
#define SAMPLE_CONSTANT 0x5A5A5A5A
#endif

static int counter;
static const char* const names[] = {"alpha", "beta", "gamma", "delta"};

__declspec(dllexport) int sample_mix(int x) {
  counter += x;
  return (x ^ SAMPLE_CONSTANT) + counter;
}

__declspec(dllexport) const char* sample_name(int i) { return names[i & 3]; }

__declspec(dllexport) unsigned sample_ticks(void) { return GetTickCount() + (unsigned)counter; }
