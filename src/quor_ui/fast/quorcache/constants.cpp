#include "constants.hpp"

namespace quorcache {

Names names;
Constants consts;

namespace {

int
intern(PyObject*& slot, const char* text)
{
    if (slot == nullptr) {  // a retried import keeps the first one
        slot = PyUnicode_InternFromString(text);
    }
    return slot == nullptr ? -1 : 0;
}

int
keep(PyObject*& slot, PyObject* made)
{
    if (slot == nullptr) {
        slot = made;
    }
    else {
        Py_XDECREF(made);
    }
    return slot == nullptr ? -1 : 0;
}

}  // namespace

int
make_constants()
{
    if (keep(consts.empty_tuple, PyTuple_New(0)) < 0) {
        return -1;
    }
    const struct {
        PyObject*& slot;
        const char* text;
    } strings[] = {
        {names.value, "value"},
        {names.CacheType, "CacheType"},
        {names.__members__, "__members__"},
        {names.values, "values"},
        {names.__dict__, "__dict__"},
        {names.__pyx_unpickle_Cache, "__pyx_unpickle_Cache"},
        {names.__pyx_vtable__, "__pyx_vtable__"},
        {names.copy, "copy"},
        {names.update, "update"},
        {names.__new__, "__new__"},
        {names.__name__, "__name__"},
        {names.__test__, "__test__"},
        {names.Cache, "Cache"},
        {names.pickle, "pickle"},
        {names.PickleError, "PickleError"},
        {names.enums_module, "quor_ui.core.enums"},
        {names.module_name, MODULE_NAME},
        {names.enum_, "enum"},
        {names.Enum, "Enum"},
        {names.EnumType, "EnumType"},
        {names.property, "property"},
        {names.fget, "fget"},
        {names._value_, "_value_"},
        {names._member_map_, "_member_map_"},
        {names.MappingProxyType, "MappingProxyType"},
        {names.__get__, "__get__"},
        {names.__getitem__, "__getitem__"},
        {names.__getattribute__, "__getattribute__"},
        {names.__getattr__, "__getattr__"},
        {names.mro, "mro"},
        {names.sys, "sys"},
        {names.flags, "flags"},
        {names.dev_mode, "dev_mode"},
        {names.ignore_environment, "ignore_environment"},
        {names.type, "type"},
        {names.func, "func"},
        {names.blacklist, "blacklist"},
        {names.whitelist, "whitelist"},
        {names.memo, "memo"},
        {names.__pyx_type, "__pyx_type"},
        {names.__pyx_checksum, "__pyx_checksum"},
        {names.__pyx_state, "__pyx_state"},
        {consts.key_type_message, "The key for cache access must be of type CacheType"},
    };
    for (const auto& s : strings) {
        if (intern(s.slot, s.text) < 0) {
            return -1;
        }
    }
    if (keep(consts.checksum, PyLong_FromLongLong(PICKLE_CHECKSUM)) < 0) {
        return -1;
    }
    return 0;
}

}  // namespace quorcache
