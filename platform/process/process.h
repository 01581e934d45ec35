// What a command-line program asks of its process: the interrupt from the
// terminal, whether standard error is a terminal, the text encoding, and the
// folder the program lives in.
#pragma once

#include <string>

namespace ps::platform {

// The first interrupt (Ctrl-C; on Linux SIGINT or SIGTERM, on Windows the
// console's Ctrl-C, Ctrl-Break or close) calls `handler`, which must be safe
// to run from a signal handler or another thread; the next one ends the
// process as the system does by default. On Linux a blocked wait of the
// process returns at once.
void OnFirstInterrupt(void (*handler)());

// Whether standard error is a terminal (a console on Windows).
bool StderrIsTerminal();

// Makes text that the system gives or takes (names from the resolver, what
// the console shows) UTF-8, as far as the system allows.
void UseUtf8Text();

// The folder holding this program's executable, without a trailing
// separator; "" when unknown.
std::string ProgramFolder();

}  // namespace ps::platform
