#include "morvane/state/state_vec.pybind.h"

#include "morvane/py/convert.h"

namespace morvane {

namespace py = pybind11;

namespace {

/// A random construction from a generator seeded afresh from the operating system.
template <StateVec (*Make)(ChaCha12Rng&, uint32_t)>
StateVec drawn(py::handle num_qubits) {
  auto n = bind::extract<uint32_t>(num_qubits, "num_qubits");
  auto rng = ChaCha12Rng::from_os_rng();
  return Make(rng, n);
}

}  // namespace

py::class_<StateVec> pybind_state_vec(py::module_& m, const char* name) {
  return py::class_<StateVec>(m, name, py::is_final(),
                              "StateVec(re, im)\n--\n\nComplex state vector used for randomized circuit evaluation.");
}

void pybind_state_vec_methods(py::module_&, py::class_<StateVec>& c) {
  c.def(py::init([](py::handle re, py::handle im) {
          auto r = bind::extract<std::vector<double>>(re, "re");
          auto i = bind::extract<std::vector<double>>(im, "im");
          return StateVec::make(r, i);
        }),
        py::arg("re"), py::arg("im"), "__init__(self, re, im)\n--\n\n");
  c.def_static("random", &drawn<&StateVec::from_random>, py::arg("num_qubits"),
               "random(num_qubits)\n--\n\nCreates a random normalized state.");
  c.def_static("random_symmetric", &drawn<&StateVec::from_random_symmetric>, py::arg("num_qubits"),
               "random_symmetric(num_qubits)\n--\n\nCreates a random state tailored for symmetry-aware evaluator use.");
  c.def("nqubits", &StateVec::nqubits, "nqubits(self)\n--\n\nReturns qubit count.");
  c.def("len", &StateVec::len, "len(self)\n--\n\nReturns vector length (`2^nqubits`).");
  c.def("normalize", &StateVec::normalize,
        "normalize(self)\n--\n\nNormalizes the state vector in place.\n\n"
        "Divides every amplitude by the norm, then canonicalizes the global phase.");
  c.def("normalize_arg", &StateVec::normalize_arg,
        "normalize_arg(self)\n--\n\nCanonicalizes global phase for stable equality/hash comparison.");
  c.def("clone", &StateVec::clone, "clone(self)\n--\n\nReturns a deep copy.");
  c.def("check", &StateVec::check, "check(self)\n--\n\nChecks unit-norm invariant.");
  c.def("hash_value", &StateVec::hash_value, "hash_value(self)\n--\n\nHashes the current normalized state.");
  c.def(
      "__getitem__",
      [](const StateVec& s, py::handle index) {
        return bind::to_python(s.at(bind::extract<uint32_t>(index, "index")));
      },
      py::arg("index"));
  c.def(
      "__setitem__",
      [](StateVec& s, py::handle index, py::handle value) {
        auto i = bind::extract<uint32_t>(index, "index");
        auto v = bind::extract_complex(value, "value");
        s.set(i, v);
      },
      py::arg("index"), py::arg("value"));
  c.def("__delitem__", [](StateVec&, py::handle) -> void {
    PyErr_SetString(PyExc_NotImplementedError, "can't delete item");
    throw py::error_already_set();
  });
  c.def(
      "__imul__",
      [](py::object self, py::handle other) -> py::object {
        if (!py::isinstance<Instr32>(other)) return py::reinterpret_borrow<py::object>(Py_NotImplemented);
        Instr32 instr = other.cast<Instr32>();
        self.cast<StateVec&>().apply(instr);
        return self;
      },
      py::arg("other"), py::is_operator());
  c.def(
      "__eq__", [](const StateVec& a, const StateVec& b) { return a == b; }, py::is_operator());
  c.def(
      "__ne__", [](const StateVec& a, const StateVec& b) { return a != b; }, py::is_operator());
  c.def("__str__", &StateVec::to_string);
}

}  // namespace morvane
