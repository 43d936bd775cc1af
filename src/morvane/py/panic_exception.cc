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
  // Made on first use, with any pending error set aside (with one pending, the calls below can
  // fail although nothing is wrong). A failure is not kept: the next call tries again.
  static PyObject* type = nullptr;
  if (type) return type;
  PyObject *pending_type, *pending_value, *pending_tb;
  PyErr_Fetch(&pending_type, &pending_value, &pending_tb);
  PyObject* runtime = compat::import_add_module_ref("pyo3_runtime");
  PyObject* t = runtime ? PyErr_NewExceptionWithDoc(
                              "pyo3_runtime.PanicException",
                              "The exception raised when the native module stops an operation on a violated "
                              "precondition or a broken invariant.\n\nLike SystemExit and KeyboardInterrupt it "
                              "derives from BaseException, so `except Exception` does not catch it.",
                              PyExc_BaseException, nullptr)
                        : nullptr;
  if (t && PyObject_SetAttrString(runtime, "PanicException", t) < 0) Py_CLEAR(t);
  Py_XDECREF(runtime);
  if (!t) {
    // The failure to make the type (a MemoryError, say) stays set; the pending error is dropped.
    Py_XDECREF(pending_type);
    Py_XDECREF(pending_value);
    Py_XDECREF(pending_tb);
    return nullptr;
  }
  PyErr_Restore(pending_type, pending_value, pending_tb);
  type = t;
  return type;
}

void set_panic_error(const char* message) {
  if (PyObject* type = panic_exception_type()) PyErr_SetString(type, message);
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
      set_panic_error(e.what());
    }
  });
}

}  // namespace morvane::bind
