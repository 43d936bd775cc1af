// The module entry: PyInit_morvane creates the module once per process, registers its classes in
// the fixed order and caches the module object. Every class is created before any method is added,
// so that every signature can name every class.
//
// The table `classes` has one row per class, all of one form: the class's name (written only
// there), the `pybind_x(module, name)` function that makes it, and the `pybind_*_methods(module,
// class)` functions of its method groups, its own and those other components add, in the order of
// its members. A new class is one row. register_classes creates every class, adds the methods,
// makes every method refuse None as its receiver, guards `__new__` (so no object without a value
// is handed out) and freezes the types; none can be subclassed. An import that fails part-way
// leaves a retry that works: the entry takes back the type objects it already made. The entry also
// installs the signal check that long work runs (core/interrupt.h).

#include <pybind11/pybind11.h>

#include <atomic>
#include <string>
#include <typeinfo>
#include <utility>

#include "morvane/circ/circ.pybind.h"
#include "morvane/circ/gate.pybind.h"
#include "morvane/circ/instr.pybind.h"
#include "morvane/circ/instruction.pybind.h"
#include "morvane/identity/eccs_identities.pybind.h"
#include "morvane/identity/identity_circ.pybind.h"
#include "morvane/identity/proof.pybind.h"
#include "morvane/identity/prover.pybind.h"
#include "morvane/identity/prover_file.pybind.h"
#include "morvane/core/interrupt.h"
#include "morvane/py/compat.h"
#include "morvane/py/panic_exception.h"
#include "morvane/state/state_vec.pybind.h"
#include "morvane/search/ecc.pybind.h"
#include "morvane/search/cross_check.pybind.h"
#include "morvane/search/ecc_file.pybind.h"
#include "morvane/search/evaluator.pybind.h"
#include "morvane/search/quartz.pybind.h"
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
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

std::atomic<int64_t> interpreter_word{-1};
PyObject* cached_module = nullptr;  // guarded by the interpreter lock

PyObject* type_dict(py::handle cls) { return reinterpret_cast<PyTypeObject*>(cls.ptr())->tp_dict; }

/// The type objects of the registered classes. Each is made once per process and kept: an import
/// that fails part-way leaves the types it made here, and the next attempt takes them up again.
struct ClassState {
  PyObject* type = nullptr;             // a reference kept for the rest of the process
  PyObject* created_members = nullptr;  // a list: the type's own attributes right after it was made
  bool methods_added = false;
};

/// One registered class: its Python name, the function that makes its type object with that name,
/// the function that adds its members, and what the registration keeps of it across import attempts.
struct ClassEntry {
  const char* name;
  const std::type_info& cpp_type;
  py::object (*create)(py::module_&, const char* name);
  void (*add_methods)(py::module_&, py::handle);
  ClassState state;
};

/// The table row of the class `name`, made by `Create` (a `pybind_x(module, name)` function returning
/// its `py::class_`), whose members are added by each of `Methods` (the `pybind_*_methods(module,
/// class)` functions of its method groups) in turn.
template <auto Create, auto... Methods>
ClassEntry class_entry(const char* name) {
  using Class = decltype(Create(std::declval<py::module_&>(), name));
  return {name,
          typeid(typename Class::type),
          [](py::module_& m, const char* class_name) -> py::object { return Create(m, class_name); },
          [](py::module_& m, py::handle type) {
            auto cls = py::reinterpret_borrow<Class>(type);
            (Methods(m, cls), ...);
          },
          {}};
}

// Every class of the module, in registration order: the order of `__all__` and of the stubs. Each
// row names the class, the function that makes it and its method groups in the order of its members.
ClassEntry classes[] = {
    class_entry<morvane::pybind_argument, morvane::pybind_argument_methods>("Argument"),
    class_entry<morvane::pybind_instruction, morvane::pybind_instruction_methods>("Instruction"),
    class_entry<morvane::pybind_gate, morvane::pybind_gate_methods>("Gate"),
    class_entry<morvane::pybind_instr, morvane::pybind_instr_methods>("Instr"),
    class_entry<morvane::pybind_state_vec, morvane::pybind_state_vec_methods>("StateVec"),
    class_entry<morvane::pybind_ecc, morvane::pybind_ecc_methods>("ECC"),
    class_entry<morvane::pybind_ecc_s, morvane::pybind_ecc_s_methods, morvane::pybind_ecc_file_methods,
                morvane::pybind_quartz_methods, morvane::pybind_eccs_identities_methods>("ECCs"),
    class_entry<morvane::pybind_raw_eccs, morvane::pybind_raw_eccs_methods, morvane::pybind_cross_check_methods>(
        "RawECCs"),
    class_entry<morvane::pybind_evaluator, morvane::pybind_evaluator_methods>("Evaluator"),
    class_entry<morvane::pybind_circ, morvane::pybind_circ_methods>("Circ"),
    class_entry<morvane::pybind_identity_circ, morvane::pybind_identity_circ_methods>("IdentityCirc"),
    class_entry<morvane::pybind_prover, morvane::pybind_prover_methods, morvane::pybind_export_proof_methods,
                morvane::pybind_prover_assumed_methods, morvane::pybind_prover_file_methods>("IdentityProver"),
    class_entry<morvane::pybind_proof, morvane::pybind_proof_methods>("Proof"),
};

/// The class's type object, made on the first call, added to the module and its __all__. A failure
/// to make it is reported as "An error occurred while initializing class <name>" with the cause
/// chained.
py::handle add_class(py::module_& m, py::list& all, ClassEntry& entry) {
  ClassState& state = entry.state;
  if (!state.type) {
    // A type made by an attempt that stopped before it was kept here is known to pybind11.
    if (auto* known = py::detail::get_type_info(entry.cpp_type)) {
      state.type = Py_NewRef(reinterpret_cast<PyObject*>(known->type));
    } else {
      std::string failed = std::string("An error occurred while initializing class ") + entry.name;
      try {
        state.type = entry.create(m, entry.name).release().ptr();
      } catch (py::error_already_set& e) {
        py::raise_from(e, PyExc_RuntimeError, failed.c_str());
        throw py::error_already_set();
      } catch (const std::exception& e) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_RuntimeError, e.what());
        py::raise_from(PyExc_RuntimeError, failed.c_str());
        throw py::error_already_set();
      }
    }
  }
  py::handle cls(state.type);
  if (!state.created_members)
    state.created_members = py::list(py::reinterpret_borrow<py::object>(type_dict(cls))).release().ptr();
  all.append(entry.name);
  m.attr(entry.name) = cls;
  return cls;
}

/// Adds the class's members once. When an earlier attempt stopped while adding them, the members it
/// added are removed first, so that none is defined twice.
void add_methods(py::module_& m, ClassEntry& entry) {
  ClassState& state = entry.state;
  if (state.methods_added) return;
  py::handle cls(state.type);
  py::list members(py::reinterpret_borrow<py::object>(type_dict(cls)));
  auto created = py::reinterpret_borrow<py::list>(state.created_members);
  for (py::handle key : members)
    if (!created.contains(key)) py::delattr(cls, key);
  entry.add_methods(m, cls);
  state.methods_added = true;
}

/// `Cls.__new__(Cls, ...)` called directly would hand out an object whose value was never made
/// (pybind11 makes it in `__init__`), so the type's `__new__` entry runs the whole construction
/// instead. The type's own allocation slot is left as it is: `Cls(...)` does not go through the
/// entry. No class can be subclassed, so the entry serves its own type only.
void guard_new(py::handle cls) {
  auto* base = reinterpret_cast<PyTypeObject*>(cls.ptr());
  py::cpp_function construct(
      [base](py::handle type, py::args args, py::kwargs kwargs) -> py::object {
        if (type.ptr() != reinterpret_cast<PyObject*>(base))
          throw py::type_error(std::string("__new__(X): X must be ") + base->tp_name + ", not " +
                               std::string(py::str(type)));
        return type(*args, **kwargs);
      },
      py::name("__new__"), py::doc("Create and return a new object, constructed with the given arguments."));
  PyObject* entry = PyStaticMethod_New(construct.ptr());
  if (!entry) throw py::error_already_set();
  auto owned = py::reinterpret_steal<py::object>(entry);
  // Into the type's dict directly: setting the attribute would also replace the allocation slot.
  if (PyDict_SetItemString(type_dict(cls), "__new__", entry) < 0) throw py::error_already_set();
  PyType_Modified(base);
}

/// The binding record of a pybind11 function object (a method's instancemethod wrapper taken off),
/// or null for any other object.
py::detail::function_record* function_record_of(py::handle f) {
  f = py::detail::get_function(f);
  if (!f || !PyCFunction_Check(f.ptr())) return nullptr;
  py::handle self = PyCFunction_GET_SELF(f.ptr());
  if (!self || !py::isinstance<py::capsule>(self)) return nullptr;
  auto cap = py::reinterpret_borrow<py::capsule>(self);
  if (!py::detail::is_function_record_capsule(cap)) return nullptr;
  return cap.get_pointer<py::detail::function_record>();
}

/// pybind11 calls a bound member function through a `const Class*` receiver and, for a method that
/// names none of its arguments, lets None through as a null receiver: `Circ.len(None)` would crash.
/// Every method and property function of the class gets the receiver record pybind11 itself adds to
/// a method that names its arguments, which refuses None, so such a call raises TypeError.
/// Constructors check their receiver themselves.
void refuse_none_receivers(py::handle cls) {
  auto add_receiver = [](py::handle f) {
    for (py::detail::function_record* rec = function_record_of(f); rec; rec = rec->next)
      if (rec->is_method && !rec->is_constructor && rec->args.empty())
        rec->args.emplace_back("self", nullptr, py::handle(), /*convert=*/true, /*none=*/false);
  };
  for (auto [name, member] : py::reinterpret_borrow<py::dict>(type_dict(cls))) {
    if (PyObject_TypeCheck(member.ptr(), &PyProperty_Type)) {
      add_receiver(member.attr("fget"));
      add_receiver(member.attr("fset"));
    } else {
      add_receiver(member);
    }
  }
}

void freeze(py::handle cls) { morvane::compat::type_freeze(reinterpret_cast<PyTypeObject*>(cls.ptr())); }

/// Creates every class first, so that every signature can name every class, then adds the members,
/// guards `__new__` and freezes the types.
void register_classes(py::module_& m) {
  py::options options;
  options.disable_function_signatures();
  py::list all;
  m.attr("__all__") = all;
  // Classes report "morvane" as their module while they are created.
  m.attr("__module__") = "morvane";

  for (ClassEntry& entry : classes) add_class(m, all, entry);
  for (ClassEntry& entry : classes) add_methods(m, entry);
  for (ClassEntry& entry : classes) refuse_none_receivers(entry.state.type);
  for (ClassEntry& entry : classes) guard_new(entry.state.type);
  py::delattr(m, "__module__");
  for (ClassEntry& entry : classes) freeze(entry.state.type);
}

/// Long work looks at pending signals through this: a handler that raised (KeyboardInterrupt for
/// Ctrl-C) ends the operation with its exception. Only a thread holding the interpreter lock may run
/// handlers; anywhere else this does nothing.
void check_signals() {
  if (!PyGILState_Check()) return;
  if (PyErr_CheckSignals() != 0) throw py::error_already_set();
}

/// Sets up pybind11's shared state, once. When that stops part-way (memory runs out, say), what was
/// set up cannot be used, and every later import fails with ImportError.
bool binding_layer_ready() {
  auto is_partial = [] {
    auto** state = py::detail::get_internals_pp();
    return state && *state && !(*state)->instance_base;
  };
  if (!is_partial()) {
    try {
      PYBIND11_ENSURE_INTERNALS_READY
      return true;
    } catch (py::error_already_set& e) {
      if (!is_partial()) {
        e.restore();
        return false;
      }
    } catch (const std::exception& e) {
      if (!is_partial()) {
        PyErr_SetString(PyExc_ImportError, e.what());
        return false;
      }
    }
  }
  PyErr_SetString(PyExc_ImportError,
                  "morvane cannot be imported in this process: setting up its binding layer failed part-way");
  return false;
}

}  // namespace

extern "C" PYBIND11_EXPORT PyObject* PyInit_morvane() {
  PYBIND11_CHECK_PYTHON_VERSION

  // The binding layer's shared state is made through the thread-state calls of the main
  // interpreter; in another interpreter they wait for a lock that never comes free. So an import
  // there is refused before anything is set up, also when it comes first.
  PyInterpreterState* interpreter = PyInterpreterState_Get();
  if (interpreter != PyInterpreterState_Main()) {
    PyErr_SetString(PyExc_ImportError,
                    "morvane does not support subinterpreters: it can only be imported in the main interpreter");
    return nullptr;
  }
  int64_t id = PyInterpreterState_GetID(interpreter);
  if (id == -1 && PyErr_Occurred()) return nullptr;
  int64_t expected = -1;
  if (!interpreter_word.compare_exchange_strong(expected, id, std::memory_order_seq_cst) && expected != id) {
    PyErr_SetString(PyExc_ImportError,
                    "morvane does not support subinterpreters: it can only be imported in the interpreter "
                    "that imported it first");
    return nullptr;
  }
  if (cached_module) return Py_NewRef(cached_module);
  if (!binding_layer_ready()) return nullptr;

  PyObject* raw = PyModule_Create2(&module_def, 1013);
  if (!raw) return nullptr;
  auto m = py::reinterpret_steal<py::module_>(raw);
  try {
    static bool translator_registered = false;
    if (!translator_registered) {
      morvane::bind::register_panic_translator();
      morvane::interrupt::install(check_signals);
      translator_registered = true;
    }
    register_classes(m);
  } catch (py::error_already_set& e) {
    e.restore();
    return nullptr;
  } catch (const std::exception& e) {
    morvane::bind::set_panic_error(e.what());
    return nullptr;
  }
  cached_module = m.release().ptr();
  return Py_NewRef(cached_module);
}
