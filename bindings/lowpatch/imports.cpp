// The toolbox objects the compiled classes use, imported once at module load.
#include "context.hpp"

namespace mirt::lowpatch {

namespace {

py::handle keep(py::object obj) { return obj.release(); }

}  // namespace

Context& ctx() {
  static Context context;
  return context;
}

void load_context() {
  Context& c = ctx();
  // Importing the module imports what a diagnosis relies on, so that a
  // missing dependency fails the import rather than the first fit.
  for (const char* name : {"numpy", "pandas", "copy"}) keep(py::module_::import(name));
  keep(py::module_::import("mirt.plots"));
  c.get_scoring_metric = keep(bind::import_attr("mirt.diagnoser.utils", "get_scoring_metric"));
  c.test_data_result = keep(bind::import_attr("mirt.utils", "TestDataResult"));
  c.mirt_error = keep(bind::import_attr("mirt.exceptions", "MirtError"));
  c.base_diagnoser = keep(bind::import_attr("mirt.diagnoser.base", "BaseDiagnoser"));
}

void mirt_error(const std::string& message) { bind::raise(ctx().mirt_error, message); }

}  // namespace mirt::lowpatch
