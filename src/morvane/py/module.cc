// The module entry: PyInit_morvane creates the module once per process, registers its classes in
// the fixed order and caches the module object. Every class is created before any method is added,
// so that every signature can name every class.

#include <pybind11/pybind11.h>

#include <atomic>
#include <functional>
#include <string>

#include "morvane/circ/gate.pybind.h"
#include "morvane/circ/instr.pybind.h"
#include "morvane/circ/instruction.pybind.h"
#include "morvane/py/compat.h"
#include "morvane/py/panic_exception.h"
#include "morvane/state/state_vec.pybind.h"
#include "morvane/search/ecc.pybind.h"
#include "morvane/search/ecc_file.pybind.h"
#include "morvane/search/evaluator.pybind.h"
#include "morvane/search/raw_eccs.pybind.h"

namespace py = pybind11;

namespace {

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "morvane",
    "The Python extension module's entry point of morvane.\n\n"
    "It registers the native classes, which are re-exported and wrapped by the wrapper package "
    "`python/morvane/__init__`.",
    0,  // no per-module state
    nullptr, nullptr, nullptr, nullptr, nullptr,
};

std::atomic<int64_t> interpreter_word{-1};
PyObject* cached_module = nullptr;  // guarded by the interpreter lock

/// Creates one class and adds it to the module and its __all__; a failure to create the class is
/// reported as "An error occurred while initializing class <name>" with the cause chained.
template <typename Create>
auto add_class(py::module_& m, py::list& all, const char* name, Create&& create) {
  decltype(create()) cls = [&] {
    try {
      return create();
    } catch (py::error_already_set& e) {
      py::raise_from(e, PyExc_RuntimeError, (std::string("An error occurred while initializing class ") + name).c_str());
      throw py::error_already_set();
    }
  }();
  all.append(name);
  m.attr(name) = cls;
  return cls;
}

void freeze(py::handle cls) { morvane::compat::type_freeze(reinterpret_cast<PyTypeObject*>(cls.ptr())); }

void register_classes(py::module_& m) {
  py::options options;
  options.disable_function_signatures();
  py::list all;
  m.attr("__all__") = all;
  // Classes report "morvane" as their module while they are created.
  m.attr("__module__") = "morvane";

  auto argument = add_class(m, all, "Argument", [&] { return morvane::pybind_argument(m); });
  auto instruction = add_class(m, all, "Instruction", [&] { return morvane::pybind_instruction(m); });
  auto gate = add_class(m, all, "Gate", [&] { return morvane::pybind_gate(m); });
  auto instr = add_class(m, all, "Instr", [&] { return morvane::pybind_instr(m); });
  auto state_vec = add_class(m, all, "StateVec", [&] { return morvane::pybind_state_vec(m); });
  auto ecc = add_class(m, all, "ECC", [&] { return morvane::pybind_ecc(m); });
  auto ecc_s = add_class(m, all, "ECCs", [&] { return morvane::pybind_ecc_s(m); });
  auto raw_eccs = add_class(m, all, "RawECCs", [&] { return morvane::pybind_raw_eccs(m); });
  auto evaluator = add_class(m, all, "Evaluator", [&] { return morvane::pybind_evaluator(m); });

  morvane::pybind_argument_methods(m, argument);
  morvane::pybind_instruction_methods(m, instruction);
  morvane::pybind_gate_methods(m, gate);
  morvane::pybind_instr_methods(m, instr);
  morvane::pybind_state_vec_methods(m, state_vec);
  morvane::pybind_ecc_methods(m, ecc);
  morvane::pybind_ecc_s_methods(m, ecc_s);
  morvane::pybind_ecc_file_methods(m, ecc_s);
  morvane::pybind_raw_eccs_methods(m, raw_eccs);
  morvane::pybind_evaluator_methods(m, evaluator);

  py::delattr(m, "__module__");
  freeze(argument);
  freeze(instruction);
  freeze(gate);
  freeze(instr);
  freeze(state_vec);
  freeze(ecc);
  freeze(ecc_s);
  freeze(raw_eccs);
  freeze(evaluator);
}

}  // namespace

extern "C" PYBIND11_EXPORT PyObject* PyInit_morvane() {
  PYBIND11_CHECK_PYTHON_VERSION
  PYBIND11_ENSURE_INTERNALS_READY

  int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id == -1 && PyErr_Occurred()) return nullptr;
  int64_t expected = -1;
  if (!interpreter_word.compare_exchange_strong(expected, id, std::memory_order_seq_cst) && expected != id) {
    PyErr_SetString(PyExc_ImportError,
                    "morvane does not support subinterpreters: it can only be imported in the interpreter "
                    "that imported it first");
    return nullptr;
  }
  if (cached_module) return Py_NewRef(cached_module);

  PyObject* raw = PyModule_Create2(&module_def, 1013);
  if (!raw) return nullptr;
  auto m = py::reinterpret_steal<py::module_>(raw);
  try {
    static bool translator_registered = false;
    if (!translator_registered) {
      morvane::bind::register_panic_translator();
      translator_registered = true;
    }
    register_classes(m);
  } catch (py::error_already_set& e) {
    e.restore();
    return nullptr;
  } catch (const std::exception& e) {
    PyErr_SetString(morvane::bind::panic_exception_type(), e.what());
    return nullptr;
  }
  cached_module = m.release().ptr();
  return Py_NewRef(cached_module);
}
