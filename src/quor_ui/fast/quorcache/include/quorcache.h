/* quorcache.h: the native interface of quor_ui.fast.quorcache.quorcache.
 *
 * For C and C++ extension modules that use Cache objects without the
 * interpreter's call machinery. In CMake, find_package(quorcache) and link
 * quorcache::headers (the package's folder: python -m quor_ui.fast.quorcache
 * --cmake-dir); otherwise put the folder that quor_ui.fast.quorcache.get_include()
 * returns on the include path. Then:
 *
 *     const QuorCacheFunctions *qc;
 *     PyTypeObject *cache_type;
 *     if (QuorCache_Import(&qc, &cache_type) < 0) return NULL;
 *     PyObject *cache = qc->new_cache();
 *
 * The instance record and the function table below are an ABI: other extension
 * modules reach Cache's fields and operations by position. Fields and slots are
 * only ever appended to, never reordered.
 *
 * Conventions of the table: object arguments are borrowed; a result is a new
 * reference, or NULL with an exception set; the void operations report failure
 * only through a pending exception, so test PyErr_Occurred() after calling them.
 * A slot index outside 0..31, or beyond the end of the current slot list (a
 * restored pickle state may install a list of any length), raises IndexError
 * and touches nothing. Pass only objects for which PyObject_TypeCheck(obj,
 * cache_type) holds: the operations do not check the type of self.
 */
#ifndef QUORCACHE_H
#define QUORCACHE_H

#include <Python.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The version of quor_ui that ships this header (quor_ui.__version__), and as one number
 * for #if tests: 0xMMmmpp00, a byte each for major, minor and patch. Within a major
 * version the record and the table below only grow. */
#define QUORCACHE_VERSION_MAJOR 0
#define QUORCACHE_VERSION_MINOR 1
#define QUORCACHE_VERSION_PATCH 0
#define QUORCACHE_VERSION "0.1.0"
#define QUORCACHE_VERSION_HEX \
    ((QUORCACHE_VERSION_MAJOR << 24) | (QUORCACHE_VERSION_MINOR << 16) | (QUORCACHE_VERSION_PATCH << 8))

/* The number of operations in QuorCacheFunctions as this header declares it. */
#define QUORCACHE_FUNCTION_COUNT 7

#define QUORCACHE_SLOT_COUNT 32
#define QUORCACHE_MODULE_NAME "quor_ui.fast.quorcache.quorcache"

struct QuorCacheFunctions;

/* A Cache instance. */
typedef struct {
    PyObject_HEAD
    const struct QuorCacheFunctions *vtab; /* always the module's one table; never changes */
    PyObject *cache_arr;                   /* owned: the slot list (None entry = empty), or None */
} QuorCacheObject;

/* Cache's internal function table, published as the capsule Cache.__pyx_vtable__. */
typedef struct QuorCacheFunctions {
    /* Empties slots 0..31. No result: failure only as a pending exception. */
    void (*c_clear)(QuorCacheObject *self);
    /* Empties whitelisted slots no blacklist item names; lists borrowed, exactly list or None. No result. */
    void (*c_clear_selected)(QuorCacheObject *self, PyObject *blacklist, PyObject *whitelist);
    /* Returns a new reference to the slot's object (None: empty), or NULL with an exception set. */
    PyObject *(*c_get)(QuorCacheObject *self, int32_t type_idx);
    /* Stores value (borrowed; the slot takes its own reference). No result: failure only as pending exception. */
    void (*c_set)(QuorCacheObject *self, int32_t type_idx, PyObject *value);
    /* Returns a new reference to the slot's object, storing value (borrowed) first if empty; or NULL. */
    PyObject *(*c_get_or_set_val)(QuorCacheObject *self, int32_t type_idx, PyObject *value);
    /* Returns a new reference to the slot's object, storing func() (borrowed func) first if empty; or NULL. */
    PyObject *(*c_get_or_exec)(QuorCacheObject *self, int32_t type_idx, PyObject *func);
    /* The factory new(): a new reference to an exact Cache with 32 empty slots; or NULL with an exception. */
    PyObject *(*new_cache)(void);
} QuorCacheFunctions;

#ifdef __cplusplus
static_assert(sizeof(QuorCacheFunctions) == QUORCACHE_FUNCTION_COUNT * sizeof(void (*)(void)),
              "QUORCACHE_FUNCTION_COUNT must count the slots of QuorCacheFunctions");
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
_Static_assert(sizeof(QuorCacheFunctions) == QUORCACHE_FUNCTION_COUNT * sizeof(void (*)(void)),
               "QUORCACHE_FUNCTION_COUNT must count the slots of QuorCacheFunctions");
#endif

/* Imports quor_ui.fast.quorcache.quorcache and reads the capsule Cache.__pyx_vtable__.
 * On success returns 0, sets *table to the function table (valid for the life of
 * the process) and *type to a new reference to Cache. On failure returns -1 with
 * an exception set (ImportError, or TypeError naming what is wrong) and leaves
 * both out-parameters unchanged. */
static inline int
QuorCache_Import(const QuorCacheFunctions **table, PyTypeObject **type)
{
    PyObject *module, *cache, *capsule;
    void *pointer;

    module = PyImport_ImportModule(QUORCACHE_MODULE_NAME);
    if (module == NULL) {
        return -1;
    }
    cache = PyObject_GetAttrString(module, "Cache");
    Py_DECREF(module);
    if (cache == NULL) {
        return -1;
    }
    if (!PyType_Check(cache)) {
        PyErr_Format(PyExc_TypeError, QUORCACHE_MODULE_NAME ".Cache is not a type but %.200s",
                     Py_TYPE(cache)->tp_name);
        Py_DECREF(cache);
        return -1;
    }
    if (((PyTypeObject *)cache)->tp_basicsize != (Py_ssize_t)sizeof(QuorCacheObject)) {
        PyErr_Format(PyExc_ImportError,
                     QUORCACHE_MODULE_NAME ".Cache has instances of %zd bytes, but quorcache.h "
                     "describes %zd: the header does not match the module",
                     ((PyTypeObject *)cache)->tp_basicsize, (Py_ssize_t)sizeof(QuorCacheObject));
        Py_DECREF(cache);
        return -1;
    }
    capsule = PyObject_GetAttrString(cache, "__pyx_vtable__");
    if (capsule == NULL) {
        Py_DECREF(cache);
        return -1;
    }
    if (!PyCapsule_CheckExact(capsule)) {
        PyErr_Format(PyExc_TypeError,
                     QUORCACHE_MODULE_NAME ".Cache.__pyx_vtable__ is not a capsule but %.200s",
                     Py_TYPE(capsule)->tp_name);
        Py_DECREF(capsule);
        Py_DECREF(cache);
        return -1;
    }
    pointer = PyCapsule_GetPointer(capsule, NULL); /* the capsule has no name */
    Py_DECREF(capsule);
    if (pointer == NULL) {
        Py_DECREF(cache);
        return -1;
    }
    *table = (const QuorCacheFunctions *)pointer;
    *type = (PyTypeObject *)cache;
    return 0;
}

#ifdef __cplusplus
}
#endif

#endif /* QUORCACHE_H */
