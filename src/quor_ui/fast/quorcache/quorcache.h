/* quorcache.h: the native interface of quor_ui.fast.quorcache.quorcache.
 *
 * The instance record and the function table below are an ABI: other extension
 * modules reach Cache's fields and operations by position. Fields and slots are
 * only ever appended to, never reordered.
 */
#ifndef QUORCACHE_H
#define QUORCACHE_H

#include <Python.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define QUORCACHE_SLOT_COUNT 32

struct QuorCacheFunctions;

typedef struct {
    PyObject_HEAD
    const struct QuorCacheFunctions *vtab; /* always the module's one table */
    PyObject *cache_arr;                   /* owned: a list of slots, or None */
} QuorCacheObject;

/* Object arguments are borrowed. The void operations report failure only through
 * a pending exception: test PyErr_Occurred() after calling them. A slot index
 * outside 0..31 or beyond the current slot list raises IndexError. */
typedef struct QuorCacheFunctions {
    void (*c_clear)(QuorCacheObject *self);
    void (*c_clear_selected)(QuorCacheObject *self, PyObject *blacklist, PyObject *whitelist);
    PyObject *(*c_get)(QuorCacheObject *self, int32_t type_idx);              /* new ref */
    void (*c_set)(QuorCacheObject *self, int32_t type_idx, PyObject *value);
    PyObject *(*c_get_or_set_val)(QuorCacheObject *self, int32_t type_idx,
                                  PyObject *value);                           /* new ref */
    PyObject *(*c_get_or_exec)(QuorCacheObject *self, int32_t type_idx,
                               PyObject *func);                               /* new ref */
    PyObject *(*new_cache)(void); /* new ref: an exact Cache with 32 empty slots */
} QuorCacheFunctions;

#ifdef __cplusplus
}
#endif

#endif /* QUORCACHE_H */
