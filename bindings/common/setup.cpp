#include "setup.hpp"

#include <pythread.h>

#include <atomic>
#include <exception>

#include "arrays.hpp"
#include "mirt/interrupt.hpp"

namespace mirt::bind {

namespace {

// Python runs signal handlers on its main thread only, so only that thread
// needs to look; others never take the GIL for it.
std::atomic<unsigned long> g_main_thread{0};

// The exception a signal handler raised while a pass polled, kept until the
// pass has unwound to its binding (guarded by the GIL).
PyObject* g_pending = nullptr;

void keep_raised() {
#if PY_VERSION_HEX >= 0x030C0000
  PyObject* raised = PyErr_GetRaisedException();
#else
  PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
  Py_XDECREF(type);
  Py_XDECREF(traceback);
  PyObject* raised = value;
#endif
  Py_XDECREF(g_pending);
  g_pending = raised;
}

bool finalizing() {
#if PY_VERSION_HEX >= 0x030D0000
  return Py_IsFinalizing() != 0;
#else
  return _Py_IsFinalizing() != 0;
#endif
}

bool poll_signals() {
  if (PyThread_get_thread_ident() != g_main_thread.load(std::memory_order_relaxed)) return false;
  if (finalizing()) return false;
  const PyGILState_STATE state = PyGILState_Ensure();
  bool raised = false;
  if (PyErr_CheckSignals() != 0) {
    raised = true;
    keep_raised();
  }
  PyGILState_Release(state);
  return raised;
}

}  // namespace

void restore_interrupt() {
  if (g_pending != nullptr) {
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(g_pending)), g_pending);
    Py_CLEAR(g_pending);
    return;
  }
  PyErr_SetNone(PyExc_KeyboardInterrupt);
}

void init_module(py::module_& /*m*/) {
  numpy();
  numpy_sum_order();
  np_float(0.0);
  g_main_thread.store(
      py::module_::import("threading").attr("main_thread")().attr("ident").cast<unsigned long>());
  set_interrupt_poll(&poll_signals);
  py::register_local_exception_translator([](std::exception_ptr p) {
    if (!p) return;
    try {
      std::rethrow_exception(p);
    } catch (const Interrupted&) {
      restore_interrupt();
    }
  });
}

}  // namespace mirt::bind
