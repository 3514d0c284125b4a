#include "class_signature.hpp"

#include <string>

#include "pyclass.hpp"

namespace mirt::bind {

namespace {

py::object signature_of_init(py::handle /*descriptor*/, const Args& a) {
  py::object owner = a["owner"];
  if (owner.is_none()) owner = py::type::of(a["obj"]);
  py::object init = owner.attr("__init__");
  py::object sig = py::module_::import("inspect").attr("signature")(init);
  py::list params = to_list(sig.attr("parameters").attr("values")());
  // Drop `self`: the class is called without it.
  py::list rest;
  for (std::size_t i = 1; i < params.size(); ++i) rest.append(params[i]);
  py::dict kw;
  kw["parameters"] = rest;
  return sig.attr("replace")(**kw);
}

}  // namespace

py::object init_signature_descriptor(const std::string& module) {
  py::dict ns;
  ns["__module__"] = module;
  ns["__qualname__"] = "_InitSignature";
  ns["__slots__"] = py::tuple();
  ns["__doc__"] = "The signature of the owner's __init__ without self.";
  ns["__get__"] = make_function("__get__", "_InitSignature.__get__", module,
                                {req("obj"), opt_none("owner")}, "", signature_of_init,
                                Kind::method);
  py::object type = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyType_Type));
  py::object cls = type("_InitSignature", py::make_tuple(), ns);
  return cls();
}

}  // namespace mirt::bind
