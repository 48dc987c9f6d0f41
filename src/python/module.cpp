// The module `catenc`: multi-phase initialisation whose one execution step adds the Encoder
// class. No functions, no constants, no per-module state.
#include "encoder.hpp"
#include "frame.hpp"
#include "names.hpp"

namespace catenc::py {

namespace {

constexpr char module_doc[] = "A Python module implemented in C++.";

// Appends "Encoder" to `__all__`, making the list when the module has none.
PyStatus add_to_all(PyObject* module, const Names& n) {
  Ref all = Ref::steal(PyObject_GetAttr(module, n.all));
  if (!all) {
    Error error = Error::fetch();
    if (!error.matches(PyExc_AttributeError)) return Unexpected<Error>{std::move(error)};
    all = Ref::steal(PyList_New(0));
    if (!all) return fetched();
    if (PyObject_SetAttr(module, n.all, all.get()) < 0) return fetched();
  }
  if (!PyList_Check(all.get())) return Unexpected<Error>{not_an_instance(all.get(), "list")};
  Ref name = Ref::steal(PyUnicode_FromString("Encoder"));
  if (!name || PyList_Append(all.get(), name.get()) < 0) {
    return Unexpected<Error>{
        Error::stopped("could not append __name__ to __all__", Error::fetch())};
  }
  return {};
}

PyStatus exec_module(PyObject* module) {
  if (!PyModule_Check(module)) return Unexpected<Error>{not_an_instance(module, "module")};
  CATENC_ASSIGN_OR_RETURN(PyObject * type, encoder_type());
  CATENC_ASSIGN_OR_RETURN(const Names* n, names());
  CATENC_TRY(add_to_all(module, *n));
  if (PyObject_SetAttrString(module, "Encoder", type) < 0) return fetched();
  return {};
}

int catenc_exec(PyObject* module) {
  return status_frame([&] { return exec_module(module); });
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&catenc_exec)},
#ifdef Py_mod_multiple_interpreters
    // The class object is shared by every module object of the process, which is sound within
    // one interpreter only.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
#ifdef Py_mod_gil
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "catenc", module_doc, 0,       nullptr,
    module_slots,          nullptr,  nullptr,    nullptr,
};

}  // namespace

}  // namespace catenc::py

PyMODINIT_FUNC PyInit_catenc() {
  return PyModuleDef_Init(&catenc::py::module_def);
}

#if defined(PyMODEXPORT_FUNC) && defined(Py_mod_name) && defined(Py_mod_abi)
// Interpreters that load modules through an export hook get the same module as a slot list.
namespace catenc::py {
namespace {
PyABIInfo_VAR(abi_info);
PyModuleDef_Slot export_slots[] = {
    {Py_mod_name, const_cast<char*>("catenc")},
    {Py_mod_doc, const_cast<char*>(module_doc)},
    {Py_mod_abi, &abi_info},
    {Py_mod_exec, reinterpret_cast<void*>(&catenc_exec)},
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};
}  // namespace
}  // namespace catenc::py

PyMODEXPORT_FUNC PyModExport_catenc() {
  return catenc::py::export_slots;
}
#endif
