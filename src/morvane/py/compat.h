#pragma once
// The few CPython 3.13/3.14 calls the module uses, provided on older interpreters.

#include <Python.h>

namespace morvane::compat {

/// PyList_GetItemRef (3.13): a new reference to item i, or nullptr with IndexError set.
inline PyObject* list_get_item_ref(PyObject* list, Py_ssize_t i) {
#if PY_VERSION_HEX >= 0x030D0000
  return PyList_GetItemRef(list, i);
#else
  PyObject* item = PyList_GetItem(list, i);
  Py_XINCREF(item);
  return item;
#endif
}

/// PyImport_AddModuleRef (3.13): a new reference to the module of that name, created if absent.
inline PyObject* import_add_module_ref(const char* name) {
#if PY_VERSION_HEX >= 0x030D0000
  return PyImport_AddModuleRef(name);
#else
  PyObject* m = PyImport_AddModule(name);
  Py_XINCREF(m);
  return m;
#endif
}

/// PyType_Freeze (3.14): makes a type immutable. Call it after the type's last attribute is set.
inline int type_freeze(PyTypeObject* type) {
#if PY_VERSION_HEX >= 0x030E0000
  return PyType_Freeze(type);
#else
  type->tp_flags |= Py_TPFLAGS_IMMUTABLETYPE;
  PyType_Modified(type);
  return 0;
#endif
}

}  // namespace morvane::compat
