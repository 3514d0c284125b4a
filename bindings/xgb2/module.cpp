// The module mirt.models.xgb2.xgboost: depth-2 boosted trees readable as an
// intercept, main effects and pairwise interactions.
//
// The classes are built here from the layout that mirt.models.xgb2._estimator
// keeps (names, bases, signatures from the one parameter table, docstrings),
// so that they subclass scikit-learn's classes, pickle and answer help(); each
// method hands its arguments to its Python body there. The passes over rows
// the bodies need are this module's kernels (kernels.cpp).
#include <pybind11/pybind11.h>

#include <string>
#include <vector>

#include "pyclass.hpp"
#include "setup.hpp"

namespace mirt::xgb2 {

namespace py = pybind11;

void register_kernels(py::module_& m);

namespace {

// A parameter is its name when required, a (name, default) pair when not.
std::vector<bind::Param> params_of(py::handle spec) {
  std::vector<bind::Param> out;
  for (py::handle p : spec) {
    if (py::isinstance<py::str>(p)) {
      out.push_back(bind::req(p.cast<std::string>().c_str()));
    } else {
      const py::tuple pair = py::reinterpret_borrow<py::tuple>(p);
      out.push_back(bind::Param{pair[0].cast<std::string>(), false, pair[1]});
    }
  }
  return out;
}

void build_classes(py::module_& m, const std::string& layout) {
  const py::module_ bodies = py::module_::import(layout.c_str());
  for (auto item : py::reinterpret_borrow<py::dict>(bodies.attr("module_globals")())) {
    m.attr(item.first) = item.second;
  }
  for (py::handle spec : bodies.attr("CLASSES")) {
    const py::tuple c = py::reinterpret_borrow<py::tuple>(spec);
    py::list bases;
    for (py::handle base : c[1]) bases.append(m.attr(base));
    const bool has_doc = !c[2].is_none();
    bind::ClassBuilder cls(m, c[0].cast<std::string>(), py::tuple(bases),
                           has_doc ? c[2].cast<std::string>() : std::string());
    for (py::handle method : c[3]) {
      const py::tuple t = py::reinterpret_borrow<py::tuple>(method);
      cls.def(t[0].cast<std::string>(), params_of(t[1]), t[2].cast<std::string>(),
              bind::call_python(layout, t[3].cast<std::string>()));
    }
    py::object built = cls.finish();
    if (!has_doc) built.attr("__doc__") = py::none();
  }
}

}  // namespace

}  // namespace mirt::xgb2

PYBIND11_MODULE(xgboost, m) {
  m.doc() =
      "Depth-2 gradient-boosted trees with scikit-learn's estimator interface: "
      "XGB2Regressor, XGB2Classifier and their base XGB2Base.";
  mirt::bind::init_module(m);
  const std::string name = m.attr("__name__").cast<std::string>();
  const std::string package = name.substr(0, name.rfind('.') + 1);
  mirt::xgb2::register_kernels(m);
  mirt::xgb2::build_classes(m, (package.empty() ? "mirt.models.xgb2." : package) + "_estimator");
}
