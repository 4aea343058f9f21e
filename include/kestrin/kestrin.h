// Public interface of the Kestrin server library (kestrinserver.so or
// kestrinserver.dll).  The library exports exactly one function.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

// Receives every text the server prints, zero-terminated, without any
// newline added.  May be called from several threads at once.
typedef void (*PrintCallback)(const char* text);

// Runs the whole server on the calling thread and returns when it stops:
//   1  a new server image has been written to "kestrinsv.tmp";
//   2  the server stopped on an error.
// Never returns 0.  Works in the current directory, where it reads
// "kestrinsv.cfg" and "cldll.dat" and writes "kestrin.log".
int initialize(PrintCallback callback);

#ifdef __cplusplus
}
#endif
