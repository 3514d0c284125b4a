// What every extension module does at import, before any of its functions
// can run on several threads.
#pragma once

#include <pybind11/pybind11.h>

namespace mirt::bind {

namespace py = pybind11;

// Runs the one-time probes that call into Python (numpy and its summation
// order; a probe run later under a C++ static's guard can deadlock with a
// thread that waits on the guard holding the GIL), installs the poll that lets
// Ctrl-C stop the core's passes, and has the core's interrupt come back as
// the pending KeyboardInterrupt.
void init_module(py::module_& m);

// Sets the interrupt that stopped a pass (mirt::Interrupted) as the Python
// error: the exception the signal handler raised, or KeyboardInterrupt.
void restore_interrupt();

// Raises what the signal handler raised (KeyboardInterrupt for Ctrl-C) when a
// signal arrived. For loops that build many Python objects with the GIL held:
// they run no bytecode, so the interpreter's own check never comes. Cheap
// when nothing is pending.
inline void check_signals() {
  if (PyErr_CheckSignals() != 0) throw py::error_already_set();
}

}  // namespace mirt::bind
