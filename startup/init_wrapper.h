#pragma once

namespace installer {
// Started as the system's init, the installer forks once: the first process only waits, so
// that the working process can end or fail without taking init down with it.

// True when argv0 names an init ("init" anywhere in it).
bool startedAsInit(const char* argv0);

// Forks; in the child (or when the fork fails) returns false and the caller carries on. In the
// parent waits for the child, retrying while interrupted, sets exitCode to the child's raw wait
// status (-1 when waiting fails otherwise) and returns true: the caller then returns exitCode.
// While it waits, Ctrl-Alt-Delete is turned into the interrupt signal, and every interrupt
// signal the parent gets is passed on to the child.
bool forkAndWaitAsInit(int& exitCode);

} // namespace installer
