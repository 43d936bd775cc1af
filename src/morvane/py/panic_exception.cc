#include "morvane/py/panic_exception.h"

#include <cstdio>
#include <string_view>

#include "morvane/core/panic.h"
#include "morvane/py/compat.h"

namespace morvane::bind {

namespace {
/// The path of a source file relative to the project's src/ directory.
std::string_view short_path(std::string_view path) {
  auto at = path.rfind("/src/");
  return at == std::string_view::npos ? path : path.substr(at + 1);
}
}  // namespace

PyObject* panic_exception_type() {
  static PyObject* type = [] {
    PyObject* runtime = compat::import_add_module_ref("pyo3_runtime");
    PyObject* t = PyErr_NewExceptionWithDoc(
        "pyo3_runtime.PanicException",
        "The exception raised when the native module stops an operation on a violated precondition or "
        "a broken invariant.\n\nLike SystemExit and KeyboardInterrupt it derives from BaseException, so "
        "`except Exception` does not catch it.",
        PyExc_BaseException, nullptr);
    if (runtime && t) PyObject_SetAttrString(runtime, "PanicException", t);
    Py_XDECREF(runtime);
    return t;
  }();
  return type;
}

void register_panic_translator() {
  pybind11::register_exception_translator([](std::exception_ptr p) {
    try {
      if (p) std::rethrow_exception(p);
    } catch (const Panic& e) {
      auto path = short_path(e.where().file_name());
      std::fprintf(stderr, "thread '<unnamed>' panicked at %.*s:%u:%u:\n%s\n", int(path.size()), path.data(),
                   unsigned(e.where().line()), unsigned(e.where().column()), e.what());
      std::fflush(stderr);
      PyErr_SetString(panic_exception_type(), e.what());
    }
  });
}

}  // namespace morvane::bind
