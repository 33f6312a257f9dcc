// The module: its definition, the create and execution steps, and the import of
// CacheType. All of it runs once per process, inside the first import.
// The one translation unit that reports the build's shortcut setting (internals.hpp).
#define QUORCACHE_REPORT_BUILD
#include "internals.hpp"

#include <Python.h>

#include <cstdint>
#include <cstdio>

#include "attributes.hpp"
#include "cache.hpp"
#include "constants.hpp"
#include "errors.hpp"
#include "remembered.hpp"

namespace quorcache {

namespace {

std::int64_t g_main_interpreter_id = -1;
PyObject* g_module;  // the process's one module object, once executed

// Copies spec.<attr> to the module as <key>; a missing attribute is skipped.
int
copy_spec_attr(PyObject* spec, PyObject* dict, const char* attr, const char* key, bool none_too)
{
    Ref value = Ref::steal(PyObject_GetAttrString(spec, attr));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            return -1;
        }
        PyErr_Clear();
        return 0;
    }
    if (value.get() == Py_None && !none_too) {
        return 0;
    }
    return PyDict_SetItemString(dict, key, value.get());
}

PyObject*
module_create(PyObject* spec, PyModuleDef*)
{
    std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1 && PyErr_Occurred()) {
        return nullptr;
    }
    if (g_main_interpreter_id == -1) {
        g_main_interpreter_id = id;
    }
    else if (id != g_main_interpreter_id) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return nullptr;
    }
    if (g_module != nullptr) {
        return Py_NewRef(g_module);
    }
    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    if (!name) {
        return nullptr;
    }
    Ref module = Ref::steal(PyModule_NewObject(name.get()));
    if (!module) {
        return nullptr;
    }
    PyObject* dict = PyModule_GetDict(module.get());
    if (copy_spec_attr(spec, dict, "loader", "__loader__", true) < 0
        || copy_spec_attr(spec, dict, "origin", "__file__", true) < 0
        || copy_spec_attr(spec, dict, "parent", "__package__", true) < 0
        || copy_spec_attr(spec, dict, "submodule_search_locations", "__path__", false) < 0) {
        return nullptr;
    }
    return module.release();
}

// Warns when the running interpreter's major.minor differs from the headers'.
int
check_version()
{
    unsigned long built = PY_VERSION_HEX >> 16;
    unsigned long running = Py_Version >> 16;
    if (built == running) {
        return 0;
    }
    char message[200];
    std::snprintf(message, sizeof message,
                  "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                  static_cast<int>(built >> 8), static_cast<int>(built & 0xFF), MODULE_NAME,
                  "does not match", static_cast<int>(running >> 8),
                  static_cast<int>(running & 0xFF));
    return PyErr_WarnEx(PyExc_RuntimeWarning, message, 1);
}

// `from quor_ui.core.enums import CacheType`, with the module dictionary as globals.
Ref
import_cache_type()
{
    Ref module = Ref::steal(PyImport_GetModule(names.enums_module));
    if (!module && PyErr_Occurred()) {
        return {};
    }
    if (module && !PyObject_HasAttr(module.get(), names.CacheType)) {
        module = Ref();
    }
    if (!module) {
        Ref locals = Ref::steal(PyDict_New());
        Ref fromlist = Ref::steal(PyList_New(1));
        if (!locals || !fromlist) {
            return {};
        }
        PyList_SET_ITEM(fromlist.get(), 0, Py_NewRef(names.CacheType));
        module = Ref::steal(PyImport_ImportModuleLevelObject(names.enums_module, g_module_dict,
                                                             locals.get(), fromlist.get(), 0));
        if (!module) {
            return {};
        }
    }
    Ref value = Ref::steal(PyObject_GetAttr(module.get(), names.CacheType));
    if (value) {
        return value;
    }
    if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
        // A submodule of that name, as the from-import statement would find it.
        PyErr_Clear();
        Ref package = Ref::steal(PyObject_GetAttr(module.get(), names.__name__));
        Ref full = package
                       ? Ref::steal(PyUnicode_FromFormat("%S.%U", package.get(), names.CacheType))
                       : Ref();
        if (full) {
            value = Ref::steal(PyImport_GetModule(full.get()));
            if (value) {
                return value;
            }
        }
    }
    PyErr_Clear();
    PyErr_Format(PyExc_ImportError, "cannot import name %S", names.CacheType);
    return {};
}

int
module_exec_impl(PyObject* module, bool& have_constants)
{
    set_owned(g_module_dict, Ref::borrow(PyModule_GetDict(module)));
    PyObject* builtins = PyImport_AddModule("builtins");
    if (builtins == nullptr) {
        return -1;
    }
    set_owned(g_builtins, Ref::borrow(builtins));
    if (PyDict_SetItemString(g_module_dict, "__builtins__", builtins) < 0 || check_version() < 0
        || make_constants() < 0) {
        return -1;
    }
    have_constants = true;
    PyObject* modules = PyImport_GetModuleDict();
    int known = PyDict_Contains(modules, names.module_name);
    if (known < 0 || (!known && PyDict_SetItem(modules, names.module_name, module) < 0)) {
        return -1;
    }

    fill_cache_functions();
    if (PyType_Ready(&cache_type) < 0) {
        return -1;
    }
    // The table for native callers: an unnamed capsule with no destructor.
    Ref capsule = Ref::steal(PyCapsule_New(&cache_functions, nullptr, nullptr));
    if (!capsule || PyDict_SetItem(cache_type.tp_dict, names.__pyx_vtable__, capsule.get()) < 0) {
        return -1;
    }
    PyType_Modified(&cache_type);
    if (install_attribute_hook() < 0) {
        return -1;
    }
    if (PyDict_SetItem(g_module_dict, names.Cache, reinterpret_cast<PyObject*>(&cache_type)) < 0) {
        return -1;
    }

    Ref cache_type_enum = import_cache_type();
    if (!cache_type_enum
        || PyDict_SetItem(g_module_dict, names.CacheType, cache_type_enum.get()) < 0) {
        return -1;
    }
    Ref unpickle = Ref::steal(PyCFunction_NewEx(&unpickle_def, nullptr, names.module_name));
    if (!unpickle
        || PyDict_SetItem(g_module_dict, names.__pyx_unpickle_Cache, unpickle.get()) < 0) {
        return -1;
    }
    Ref test = Ref::steal(PyDict_New());
    if (!test || PyDict_SetItem(g_module_dict, names.__test__, test.get()) < 0) {
        return -1;
    }
    return 0;
}

int
module_exec(PyObject* module)
{
    if (g_module != nullptr) {
        if (g_module == module) {
            return 0;
        }
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'quorcache' has already been imported. Re-initialisation is not "
                        "supported.");
        return -1;
    }
    g_module = Py_NewRef(module);
    bool have_constants = false;
    if (module_exec_impl(module, have_constants) < 0) {
        if (have_constants) {
            add_traceback_raw("init quor_ui.fast.quorcache.quorcache");
        }
        // A later import starts again from the create step.
        Py_CLEAR(g_module);
        return -1;
    }
    return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "quorcache",
    .m_doc = nullptr,
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = module_slots,
};

}  // namespace

}  // namespace quorcache

PyMODINIT_FUNC
PyInit_quorcache()
{
    return PyModuleDef_Init(&quorcache::module_def);
}
