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

// Pauses the cyclic garbage collector while a loop builds many containers
// that cannot form cycles (result records): each collection the allocations
// trigger walks every live container, which made building n records cost
// more than linear time. Restores the collector's previous state.
class GcPause {
 public:
  GcPause() : was_enabled_(PyGC_Disable() != 0) {}
  GcPause(const GcPause&) = delete;
  GcPause& operator=(const GcPause&) = delete;
  ~GcPause() {
    if (was_enabled_) PyGC_Enable();
  }

 private:
  bool was_enabled_;
};

}  // namespace mirt::bind
