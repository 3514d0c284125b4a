// Building ordinary Python classes from C++ functions.
//
// The public classes must subclass Python classes (the toolbox's
// BaseDiagnoser, scikit-learn's BaseEstimator and mixins), so they cannot be
// pybind11 classes. Each is made with `type(name, bases, namespace)`, and its
// methods are builtin functions made from a plain PyMethodDef whose docstring
// starts with a text signature, so that `inspect.signature`, scikit-learn's
// `get_params`/`clone`, `help()` and pickling all work. pybind11 is used only
// for its object API; its own function machinery is avoided on purpose, as it
// treats any function named `__init__` as a constructor of its own classes.
#pragma once

#include <pybind11/pybind11.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace mirt::bind {

namespace py = pybind11;

// One parameter of a Python-visible function.
struct Param {
  std::string name;
  bool required = true;
  py::object default_value;  // used when not required
};

inline Param req(const char* name) { return Param{name, true, py::object()}; }
inline Param opt(const char* name, py::object value) {
  return Param{name, false, std::move(value)};
}
inline Param opt_none(const char* name) { return opt(name, py::none()); }

// Arguments bound to the parameters of one call, in declaration order.
class Args {
 public:
  Args(const std::vector<Param>* params, std::vector<py::object> values)
      : params_(params), values_(std::move(values)) {}

  // The bound value of a parameter (its default when the caller left it out).
  const py::object& operator[](const char* name) const;
  const py::object& at(std::size_t i) const { return values_.at(i); }
  const std::string& name(std::size_t i) const { return params_->at(i).name; }
  std::size_t size() const { return values_.size(); }

 private:
  const std::vector<Param>* params_;
  std::vector<py::object> values_;
};

using Impl = std::function<py::object(py::handle self, const Args& args)>;

enum class Kind { method, static_method, function };

// The body of a method that is orchestration, drawing or frame building, which
// live in the toolbox's Python modules: `module.function(self, **arguments)`
// (without self for a static method), imported at the first call.
Impl call_python(std::string module, std::string function);

// A Python builtin function calling `impl`; the function's docstring begins
// with its text signature. For a method, `self` is the first positional
// argument and is not listed in `params`; a static method comes wrapped for a
// class namespace, a function (of a module) as it is.
py::object make_function(const std::string& name, const std::string& qualname,
                         const std::string& module, std::vector<Param> params,
                         const std::string& doc, Impl impl, Kind kind);

class ClassBuilder {
 public:
  ClassBuilder(py::module_& module, std::string name, py::tuple bases, std::string doc);

  // A method `name(self, /, params...)`.
  ClassBuilder& def(const std::string& name, std::vector<Param> params, const std::string& doc,
                    Impl impl);
  // A static method without `self`.
  ClassBuilder& def_static(const std::string& name, std::vector<Param> params,
                           const std::string& doc, Impl impl);
  // A plain class attribute.
  ClassBuilder& attr(const std::string& name, py::object value);

  // Creates the class, sets it on the module and returns it.
  py::object finish();

 private:
  py::module_& module_;
  std::string name_;
  std::string module_name_;
  py::tuple bases_;
  py::dict ns_;
};

// Calls `super(cls, self)` so that base methods are reached through the
// instance's method resolution order, as `super()` in Python would.
py::object super_of(py::handle cls, py::handle self);

// Raises `exc_type(message)` as a C++ exception the trampoline hands back to
// Python unchanged.
[[noreturn]] void raise(py::handle exc_type, const std::string& message);

// Imports `module` and returns its attribute `name`.
py::object import_attr(const char* module, const char* name);

// Python's own comparisons and truth test, raising what Python would raise.
bool compare(py::handle a, py::handle b, int op);
inline bool le(py::handle a, py::handle b) { return compare(a, b, Py_LE); }
inline bool gt(py::handle a, py::handle b) { return compare(a, b, Py_GT); }
bool truthy(py::handle h);

// Python's arithmetic on objects (numpy scalars keep numpy's rules).
py::object mul(py::handle a, py::handle b);

// `list(obj)`.
py::list to_list(py::handle obj);

// `float(obj)` as a double.
double to_double(py::handle obj);

}  // namespace mirt::bind
