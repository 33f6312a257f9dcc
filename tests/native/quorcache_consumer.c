/* quorcache_consumer: thin wrappers over every slot of Cache's function table,
 * written as a third party would, against quorcache.h alone. The void slots are
 * wrapped the way their callers must use them: call, then test PyErr_Occurred().
 * Also an immutable subclass of Cache, as an extension would make one. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "quorcache.h"

static const QuorCacheFunctions *qc;
static PyTypeObject *cache_type;

/* The operations trust their caller with the type of self. */
static QuorCacheObject *
as_cache(PyObject *obj)
{
    if (!PyObject_TypeCheck(obj, cache_type)) {
        PyErr_Format(PyExc_TypeError, "expected a Cache, got %.200s", Py_TYPE(obj)->tp_name);
        return NULL;
    }
    return (QuorCacheObject *)obj;
}

static PyObject *
void_result(void)
{
    if (PyErr_Occurred()) {
        return NULL;
    }
    Py_RETURN_NONE;
}

static PyObject *
w_c_clear(PyObject *mod, PyObject *args)
{
    PyObject *obj;
    QuorCacheObject *self;
    (void)mod;
    if (!PyArg_ParseTuple(args, "O:c_clear", &obj) || !(self = as_cache(obj))) {
        return NULL;
    }
    qc->c_clear(self);
    return void_result();
}

static PyObject *
w_c_clear_selected(PyObject *mod, PyObject *args)
{
    PyObject *obj, *blacklist, *whitelist;
    QuorCacheObject *self;
    (void)mod;
    if (!PyArg_ParseTuple(args, "OOO:c_clear_selected", &obj, &blacklist, &whitelist)
        || !(self = as_cache(obj))) {
        return NULL;
    }
    if ((blacklist != Py_None && !PyList_CheckExact(blacklist))
        || (whitelist != Py_None && !PyList_CheckExact(whitelist))) {
        PyErr_SetString(PyExc_TypeError, "c_clear_selected takes lists or None");
        return NULL;
    }
    qc->c_clear_selected(self, blacklist, whitelist);
    return void_result();
}

static PyObject *
w_c_get(PyObject *mod, PyObject *args)
{
    PyObject *obj;
    int idx;
    QuorCacheObject *self;
    (void)mod;
    if (!PyArg_ParseTuple(args, "Oi:c_get", &obj, &idx) || !(self = as_cache(obj))) {
        return NULL;
    }
    return qc->c_get(self, (int32_t)idx);
}

static PyObject *
w_c_set(PyObject *mod, PyObject *args)
{
    PyObject *obj, *value;
    int idx;
    QuorCacheObject *self;
    (void)mod;
    if (!PyArg_ParseTuple(args, "OiO:c_set", &obj, &idx, &value) || !(self = as_cache(obj))) {
        return NULL;
    }
    qc->c_set(self, (int32_t)idx, value);
    return void_result();
}

static PyObject *
w_c_get_or_set_val(PyObject *mod, PyObject *args)
{
    PyObject *obj, *value;
    int idx;
    QuorCacheObject *self;
    (void)mod;
    if (!PyArg_ParseTuple(args, "OiO:c_get_or_set_val", &obj, &idx, &value)
        || !(self = as_cache(obj))) {
        return NULL;
    }
    return qc->c_get_or_set_val(self, (int32_t)idx, value);
}

static PyObject *
w_c_get_or_exec(PyObject *mod, PyObject *args)
{
    PyObject *obj, *func;
    int idx;
    QuorCacheObject *self;
    (void)mod;
    if (!PyArg_ParseTuple(args, "OiO:c_get_or_exec", &obj, &idx, &func)
        || !(self = as_cache(obj))) {
        return NULL;
    }
    return qc->c_get_or_exec(self, (int32_t)idx, func);
}

static PyObject *
w_new(PyObject *mod, PyObject *unused)
{
    (void)mod;
    (void)unused;
    return qc->new_cache();
}

/* The record as the header lays it out: (vtab is the imported table, cache_arr). */
static PyObject *
w_fields(PyObject *mod, PyObject *obj)
{
    QuorCacheObject *self = as_cache(obj);
    (void)mod;
    if (self == NULL) {
        return NULL;
    }
    return Py_BuildValue("(OO)", self->vtab == qc ? Py_True : Py_False, self->cache_arr);
}

/* Runs QuorCache_Import again: the Cache type, or its exception. */
static PyObject *
w_import_api(PyObject *mod, PyObject *unused)
{
    const QuorCacheFunctions *table = NULL;
    PyTypeObject *type = NULL;
    (void)mod;
    (void)unused;
    if (QuorCache_Import(&table, &type) < 0) {
        return NULL;
    }
    return Py_BuildValue("(NO)", (PyObject *)type, table == qc ? Py_True : Py_False);
}

/* A subclass of Cache made the way extensions make their types: from a spec, immutable. */
static int
immutable_traverse(PyObject *self, visitproc visit, void *arg)
{
    Py_VISIT(Py_TYPE(self));
    return cache_type->tp_traverse(self, visit, arg);
}

static void
immutable_dealloc(PyObject *self)
{
    PyTypeObject *type = Py_TYPE(self);
    cache_type->tp_dealloc(self);
    Py_DECREF(type);
}

static PyType_Slot immutable_slots[] = {
    {Py_tp_traverse, immutable_traverse},
    {Py_tp_dealloc, immutable_dealloc},
    {0, NULL},
};

static PyType_Spec immutable_spec = {
    "quorcache_consumer.Immutable", 0, 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE, immutable_slots,
};

static PyObject *
w_immutable_subclass(PyObject *mod, PyObject *unused)
{
    (void)mod;
    (void)unused;
    return PyType_FromSpecWithBases(&immutable_spec, (PyObject *)cache_type);
}

/* What the header states at compile time: (QUORCACHE_VERSION_HEX, QUORCACHE_VERSION). */
static PyObject *
w_header_version(PyObject *mod, PyObject *unused)
{
    (void)mod;
    (void)unused;
    return Py_BuildValue("(ks)", (unsigned long)QUORCACHE_VERSION_HEX, QUORCACHE_VERSION);
}

static PyMethodDef consumer_methods[] = {
    {"c_clear", w_c_clear, METH_VARARGS, NULL},
    {"c_clear_selected", w_c_clear_selected, METH_VARARGS, NULL},
    {"c_get", w_c_get, METH_VARARGS, NULL},
    {"c_set", w_c_set, METH_VARARGS, NULL},
    {"c_get_or_set_val", w_c_get_or_set_val, METH_VARARGS, NULL},
    {"c_get_or_exec", w_c_get_or_exec, METH_VARARGS, NULL},
    {"new", w_new, METH_NOARGS, NULL},
    {"fields", w_fields, METH_O, NULL},
    {"import_api", w_import_api, METH_NOARGS, NULL},
    {"immutable_subclass", w_immutable_subclass, METH_NOARGS, NULL},
    {"header_version", w_header_version, METH_NOARGS, NULL},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef consumer_module = {
    PyModuleDef_HEAD_INIT, "quorcache_consumer", NULL, -1, consumer_methods,
    NULL, NULL, NULL, NULL,
};

PyMODINIT_FUNC
PyInit_quorcache_consumer(void)
{
    if (qc == NULL && QuorCache_Import(&qc, &cache_type) < 0) {
        return NULL;
    }
    return PyModule_Create(&consumer_module);
}
