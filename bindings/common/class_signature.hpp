// `inspect.signature(cls)` for classes built by ClassBuilder.
//
// inspect reads a class's signature from a user-defined `__init__` and skips
// builtin functions, which is what ClassBuilder's methods are; the class would
// then have no signature at all (scikit-learn's estimator checks call
// `inspect.signature(type(estimator))`). The descriptor returned here, stored
// as the class attribute `__signature__`, answers with the signature of
// `owner.__init__` without `self`, so a subclass that defines its own
// `__init__` in Python gets that one's signature, as it would without it.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

namespace mirt::bind {

// A new descriptor object; `module` names the module for its class.
pybind11::object init_signature_descriptor(const std::string& module);

}  // namespace mirt::bind
