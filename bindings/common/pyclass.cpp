#include "pyclass.hpp"

#include "mirt/interrupt.hpp"
#include "setup.hpp"

#include "class_signature.hpp"

#include <memory>
#include <new>
#include <sstream>
#include <stdexcept>

namespace mirt::bind {

namespace {

struct FunctionRecord {
  std::string name;
  std::string qualname;
  std::string doc;
  std::vector<Param> params;
  Impl impl;
  Kind kind;
  PyMethodDef def{};
};

constexpr const char* kCapsuleName = "mirt.function_record";

std::string text_signature(const FunctionRecord& record) {
  std::ostringstream out;
  out << record.name << "(";
  bool first = true;
  if (record.kind == Kind::method) {
    out << "self, /";
    first = false;
  }
  for (const Param& p : record.params) {
    if (!first) out << ", ";
    first = false;
    out << p.name;
    if (!p.required) out << "=" << py::repr(p.default_value).cast<std::string>();
  }
  out << ")\n--\n\n";
  return out.str();
}

std::size_t count_required(const std::vector<Param>& params) {
  std::size_t n = 0;
  for (const Param& p : params) n += p.required ? 1 : 0;
  return n;
}

// Python's own rules for matching a call to a parameter list, with its own
// wording of the errors, so that misuse reads as it would for a Python method.
std::vector<py::object> bind_call(const FunctionRecord& record, py::tuple args, py::handle kwargs,
                                  std::size_t first_arg) {
  const std::vector<Param>& params = record.params;
  const std::size_t n_pos = args.size() - first_arg;
  std::vector<py::object> values(params.size());
  std::vector<bool> filled(params.size(), false);
  if (n_pos > params.size()) {
    std::ostringstream msg;
    const std::size_t offset = record.kind == Kind::method ? 1 : 0;
    const std::size_t lo = count_required(params) + offset;
    const std::size_t hi = params.size() + offset;
    msg << record.name << "() takes ";
    if (lo == hi) {
      msg << hi;
    } else {
      msg << "from " << lo << " to " << hi;
    }
    msg << " positional argument" << (hi == 1 ? "" : "s") << " but " << (n_pos + offset)
        << (n_pos + offset == 1 ? " was" : " were") << " given";
    throw py::type_error(msg.str());
  }
  for (std::size_t i = 0; i < n_pos; ++i) {
    values[i] = py::reinterpret_borrow<py::object>(args[first_arg + i]);
    filled[i] = true;
  }
  if (kwargs && !kwargs.is_none()) {
    for (auto item : py::reinterpret_borrow<py::dict>(kwargs)) {
      const std::string key = py::str(item.first).cast<std::string>();
      std::size_t k = 0;
      while (k < params.size() && params[k].name != key) ++k;
      if (k == params.size()) {
        throw py::type_error(record.name + "() got an unexpected keyword argument '" + key + "'");
      }
      if (filled[k]) {
        throw py::type_error(record.name + "() got multiple values for argument '" + key + "'");
      }
      values[k] = py::reinterpret_borrow<py::object>(item.second);
      filled[k] = true;
    }
  }
  std::vector<std::string> missing;
  for (std::size_t k = 0; k < params.size(); ++k) {
    if (filled[k]) continue;
    if (params[k].required) {
      missing.push_back(params[k].name);
    } else {
      values[k] = params[k].default_value;
    }
  }
  if (!missing.empty()) {
    std::ostringstream msg;
    msg << record.name << "() missing " << missing.size() << " required positional argument"
        << (missing.size() == 1 ? "" : "s") << ": ";
    for (std::size_t i = 0; i < missing.size(); ++i) {
      if (i > 0) msg << (i + 1 == missing.size() ? " and " : ", ");
      msg << "'" << missing[i] << "'";
    }
    throw py::type_error(msg.str());
  }
  return values;
}

// Every C++ exception becomes a Python one here: a crash of the interpreter is
// the worst outcome there is.
PyObject* trampoline(PyObject* capsule, PyObject* args, PyObject* kwargs) {
  auto* record = static_cast<FunctionRecord*>(PyCapsule_GetPointer(capsule, kCapsuleName));
  if (record == nullptr) return nullptr;
  try {
    py::tuple targs = py::reinterpret_borrow<py::tuple>(args);
    py::handle self;
    std::size_t first = 0;
    if (record->kind == Kind::method) {
      if (targs.empty()) {
        throw py::type_error(record->name + "() missing 1 required positional argument: 'self'");
      }
      self = targs[0];
      first = 1;
    }
    Args bound(&record->params, bind_call(*record, targs, py::handle(kwargs), first));
    py::object result = record->impl(self, bound);
    if (!result) return py::none().release().ptr();
    return result.release().ptr();
  } catch (py::error_already_set& e) {
    e.restore();
  } catch (const Interrupted&) {
    restore_interrupt();
  } catch (const py::builtin_exception& e) {
    e.set_error();
  } catch (const std::invalid_argument& e) {
    PyErr_SetString(PyExc_ValueError, e.what());
  } catch (const std::domain_error& e) {
    PyErr_SetString(PyExc_ValueError, e.what());
  } catch (const std::out_of_range& e) {
    PyErr_SetString(PyExc_IndexError, e.what());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "unknown error in the native core");
  }
  return nullptr;
}

void destroy_record(PyObject* capsule) {
  delete static_cast<FunctionRecord*>(PyCapsule_GetPointer(capsule, kCapsuleName));
}

}  // namespace

const py::object& Args::operator[](const char* name) const {
  for (std::size_t i = 0; i < params_->size(); ++i) {
    if ((*params_)[i].name == name) return values_[i];
  }
  throw std::logic_error(std::string("no parameter named ") + name);
}

py::object make_function(const std::string& name, const std::string& qualname,
                         const std::string& module, std::vector<Param> params,
                         const std::string& doc, Impl impl, Kind kind) {
  auto record = std::make_unique<FunctionRecord>();
  record->name = name;
  record->qualname = qualname;
  record->params = std::move(params);
  record->impl = std::move(impl);
  record->kind = kind;
  record->doc = text_signature(*record) + doc;
  record->def.ml_name = record->name.c_str();
  record->def.ml_meth = reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&trampoline));
  record->def.ml_flags = METH_VARARGS | METH_KEYWORDS;
  record->def.ml_doc = record->doc.c_str();

  // The capsule owns the record (and with it the PyMethodDef) and is the
  // function's `__self__`, so both live exactly as long as the function.
  FunctionRecord* raw = record.get();
  py::capsule owner(raw, kCapsuleName, &destroy_record);
  record.release();
  py::str module_name(module);
  PyObject* fn = PyCFunction_NewEx(&raw->def, owner.ptr(), module_name.ptr());
  if (fn == nullptr) throw py::error_already_set();
  py::object function = py::reinterpret_steal<py::object>(fn);
  if (kind == Kind::function) return function;
  if (kind == Kind::static_method) {
    return py::reinterpret_steal<py::object>(PyStaticMethod_New(function.ptr()));
  }
  PyObject* method = PyInstanceMethod_New(function.ptr());
  if (method == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(method);
}

ClassBuilder::ClassBuilder(py::module_& module, std::string name, py::tuple bases, std::string doc)
    : module_(module),
      name_(std::move(name)),
      module_name_(module.attr("__name__").cast<std::string>()),
      bases_(std::move(bases)) {
  ns_["__module__"] = module_name_;
  ns_["__qualname__"] = name_;
  ns_["__doc__"] = doc;
}

ClassBuilder& ClassBuilder::def(const std::string& name, std::vector<Param> params,
                                const std::string& doc, Impl impl) {
  ns_[py::str(name)] = make_function(name, name_ + "." + name, module_name_, std::move(params),
                                     doc, std::move(impl), Kind::method);
  // inspect skips builtin constructors: without this the class itself would
  // have no signature (scikit-learn's checks and help() ask for it).
  if (name == "__init__") ns_["__signature__"] = init_signature_descriptor(module_name_);
  return *this;
}

ClassBuilder& ClassBuilder::def_static(const std::string& name, std::vector<Param> params,
                                       const std::string& doc, Impl impl) {
  ns_[py::str(name)] = make_function(name, name_ + "." + name, module_name_, std::move(params),
                                     doc, std::move(impl), Kind::static_method);
  return *this;
}

ClassBuilder& ClassBuilder::attr(const std::string& name, py::object value) {
  ns_[py::str(name)] = std::move(value);
  return *this;
}

py::object ClassBuilder::finish() {
  py::object type = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyType_Type));
  py::object cls = type(name_, bases_, ns_);
  module_.attr(name_.c_str()) = cls;
  return cls;
}

py::object super_of(py::handle cls, py::handle self) {
  static py::handle super_type(reinterpret_cast<PyObject*>(&PySuper_Type));
  return super_type(cls, self);
}

void raise(py::handle exc_type, const std::string& message) {
  PyErr_SetString(exc_type.ptr(), message.c_str());
  throw py::error_already_set();
}

py::object import_attr(const char* module, const char* name) {
  return py::module_::import(module).attr(name);
}

Impl call_python(std::string module, std::string function) {
  return [module = std::move(module), function = std::move(function)](py::handle self,
                                                                      const Args& args) {
    py::dict kwargs;
    for (std::size_t i = 0; i < args.size(); ++i) kwargs[py::str(args.name(i))] = args.at(i);
    py::object body = import_attr(module.c_str(), function.c_str());
    return self ? body(self, **kwargs) : body(**kwargs);
  };
}

bool compare(py::handle a, py::handle b, int op) {
  const int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), op);
  if (r < 0) throw py::error_already_set();
  return r == 1;
}

bool truthy(py::handle h) {
  const int r = PyObject_IsTrue(h.ptr());
  if (r < 0) throw py::error_already_set();
  return r == 1;
}

namespace {
py::object checked(PyObject* r) {
  if (r == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(r);
}
}  // namespace

py::object mul(py::handle a, py::handle b) { return checked(PyNumber_Multiply(a.ptr(), b.ptr())); }

py::list to_list(py::handle obj) {
  PyObject* l = PySequence_List(obj.ptr());
  if (l == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::list>(l);
}

double to_double(py::handle obj) {
  const double v = PyFloat_AsDouble(obj.ptr());
  if (v == -1.0 && PyErr_Occurred()) throw py::error_already_set();
  return v;
}

}  // namespace mirt::bind
