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

// Runs a core pass with the GIL released and returns its result, which must
// hold no Python object.
template <typename Pass>
auto without_gil(Pass&& pass) {
  py::gil_scoped_release nogil;
  return pass();
}

}  // namespace mirt::bind
