// The toolbox objects the compiled classes use, imported once at module load.
#include "context.hpp"

namespace mirt::lowpatch {

namespace {

// Leaked, so that it outlives interpreter teardown.
py::handle g_mirt_error;

}  // namespace

void load_context() {
  // Importing the module imports what a diagnosis relies on, so that a
  // missing dependency fails the import rather than the first fit.
  for (const char* name : {"numpy", "pandas", "copy", "mirt.diagnoser.utils", "mirt.plots"}) {
    py::module_::import(name).release();
  }
  g_mirt_error = bind::import_attr("mirt.exceptions", "MirtError").release();
}

py::handle mirt_error_type() { return g_mirt_error; }

std::string doc(const char* key) {
  const std::string text =
      bind::import_attr("mirt.diagnoser._docs", "DOCS")[key].cast<std::string>();
  return text.rfind('\n', 0) == 0 ? text.substr(1) : text;
}

void mirt_error(const std::string& message) { bind::raise(g_mirt_error, message); }

}  // namespace mirt::lowpatch
