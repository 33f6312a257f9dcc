#include "enum_fast.hpp"

#include <cstdint>
#include <cstring>

#include "constants.hpp"
#include "ref.hpp"

namespace quorcache {

namespace {

// What the ordinary lookups run, captured on first use, when the enum module is
// loaded. Held for the life of the process, so identities can't be reused.
struct Stock {
    int state;  // 0: not captured yet, 1: captured, -1: not stock; never shortcut
    // key.value: Enum.__dict__['value'], an enum.property whose __get__ calls fget
    PyObject* value_descr;
    PyTypeObject* enum_property;
    unsigned int enum_property_version;
    PyObject* property_get;
    PyObject* property_get_code;
    PyObject* value_fget;
    PyObject* value_fget_code;
    // CacheType.__members__ and CacheType[name]: EnumType's own
    PyTypeObject* enum_type;
    unsigned int enum_type_version;
    PyObject* members_property;
    PyObject* members_fget;
    PyObject* members_fget_code;
    PyObject* getitem;
    PyObject* getitem_code;
    PyObject* enum_globals;
};

Stock stock;

// The last key type seen whose `value` is the stock descriptor; its version tag
// changes with any change to the type or its bases, and tags are never reused.
PyTypeObject* stock_key_type;
unsigned int stock_key_type_version;

// A function defined in enum.py under this qualified name.
bool
is_enum_function(PyObject* f, const char* qualname)
{
    if (f == nullptr || !PyFunction_Check(f)) {
        return false;
    }
    auto* func = reinterpret_cast<PyFunctionObject*>(f);
    return func->func_module != nullptr && PyUnicode_Check(func->func_module)
           && PyUnicode_CompareWithASCIIString(func->func_module, "enum") == 0
           && PyUnicode_CompareWithASCIIString(func->func_qualname, qualname) == 0;
}

// What the three one-line functions of enum.py that the shortcuts stand for
// compile to; their bodies are compared instruction by instruction.
constexpr const char reference_source[] =
    "def value(self):\n"
    "    return self._value_\n"
    "def getitem(cls, name):\n"
    "    return cls._member_map_[name]\n"
    "def members(cls):\n"
    "    return MappingProxyType(cls._member_map_)\n";

// The code objects of reference_source, in order; false if it won't compile.
bool
reference_codes(Ref (&out)[3])
{
    Ref module = Ref::steal(Py_CompileString(reference_source, "<quorcache>", Py_file_input));
    if (!module) {
        return false;
    }
    PyObject* consts = reinterpret_cast<PyCodeObject*>(module.get())->co_consts;
    std::size_t found = 0;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(consts) && found < 3; ++i) {
        if (PyCode_Check(PyTuple_GET_ITEM(consts, i))) {
            out[found++] = Ref::borrow(PyTuple_GET_ITEM(consts, i));
        }
    }
    return found == 3;
}

// f's code does what `reference` does: the same instructions over the same
// names, arguments and locals.
bool
same_body(PyObject* f, PyObject* reference)
{
    auto* code = reinterpret_cast<PyCodeObject*>(PyFunction_GET_CODE(f));
    auto* ref = reinterpret_cast<PyCodeObject*>(reference);
    if (code->co_argcount != ref->co_argcount || code->co_posonlyargcount != ref->co_posonlyargcount
        || code->co_kwonlyargcount != ref->co_kwonlyargcount || code->co_nlocalsplus != ref->co_nlocalsplus
        || code->co_flags != ref->co_flags) {
        return false;
    }
    Ref ops = Ref::steal(PyCode_GetCode(code));
    Ref ref_ops = Ref::steal(PyCode_GetCode(ref));
    if (!ops || !ref_ops) {
        return false;
    }
    return PyObject_RichCompareBool(ops.get(), ref_ops.get(), Py_EQ) == 1
           && PyObject_RichCompareBool(code->co_names, ref->co_names, Py_EQ) == 1
           && PyObject_RichCompareBool(code->co_exceptiontable, ref->co_exceptiontable, Py_EQ) == 1;
}

// A valid version tag, which any later change to the type or its bases replaces. A
// tag of 0 is none: a change resets the tag to 0 on 3.12 and 3.13 alike (3.13 no longer
// sets Py_TPFLAGS_VALID_VERSION_TAG at all), and tags are never reused.
bool
version_of(PyTypeObject* type, unsigned int* tag)
{
    if (!PyUnstable_Type_AssignVersionTag(type) || type->tp_version_tag == 0) {
        return false;
    }
    *tag = type->tp_version_tag;
    return true;
}

// obj.name is `expected`, where obj's type has no attribute of that name: the
// generic lookup reads obj's own attributes, without turning inline ones into a
// dict (which would slow every later read of them).
bool
own_attr_is(PyObject* obj, PyObject* name, PyObject* expected)
{
    PyObject* found = PyObject_GenericGetAttr(obj, name);
    if (found == nullptr) {
        PyErr_Clear();
        return false;
    }
    bool same = found == expected;
    Py_DECREF(found);
    return same;
}

// dict[name] is `expected`, looked up again only when the dict's version differs
// from `checked`, the version it had when last confirmed. Versions are unique
// across all dicts of the process, so no reference to the dict is needed.
bool
entry_is(std::uint64_t& checked, PyObject* dict, PyObject* name, PyObject* expected)
{
    std::uint64_t version = dict_version(dict);
    if (version != 0 && version == checked) {
        return true;
    }
    if (PyDict_GetItem(dict, name) != expected) {
        return false;
    }
    checked = dict_version(dict);
    return true;
}

std::uint64_t mapping_checked;  // enum's globals()['MappingProxyType'] is types.MappingProxyType

// builtins.property keeps its getter right after the object header; checked
// against the fget attribute when captured.
PyObject*
property_getter(PyObject* prop)
{
    PyObject* p;
    std::memcpy(&p, reinterpret_cast<char*>(prop) + sizeof(PyObject), sizeof p);
    return p;
}

// 1: captured; -1: something is not stock; 0: enum is still being imported.
int
capture_from(PyObject* enum_module)
{
    Ref Enum = Ref::steal(PyObject_GetAttr(enum_module, names.Enum));
    Ref EnumType = Ref::steal(PyObject_GetAttr(enum_module, names.EnumType));
    Ref property = Ref::steal(PyObject_GetAttr(enum_module, names.property));
    if (!Enum || !EnumType || !property) {
        return 0;
    }
    if (!PyType_Check(Enum.get()) || !PyType_Check(EnumType.get()) || !PyType_Check(property.get())) {
        return -1;
    }
    auto* enum_cls = reinterpret_cast<PyTypeObject*>(Enum.get());
    auto* meta = reinterpret_cast<PyTypeObject*>(EnumType.get());
    auto* prop_type = reinterpret_cast<PyTypeObject*>(property.get());

    PyObject* descr = PyDict_GetItem(enum_cls->tp_dict, names.value);
    if (descr == nullptr || Py_TYPE(descr) != prop_type
        || prop_type->tp_getattro != PyObject_GenericGetAttr || prop_type->tp_descr_set == nullptr
        || _PyType_Lookup(prop_type, names.fget) != nullptr) {
        return -1;
    }
    PyObject* get = _PyType_Lookup(prop_type, names.__get__);
    Ref fget_ref = Ref::steal(PyObject_GenericGetAttr(descr, names.fget));
    PyObject* fget = fget_ref.get();
    if (!is_enum_function(get, "property.__get__") || !is_enum_function(fget, "Enum.value")) {
        return -1;
    }

    PyObject* members = _PyType_Lookup(meta, names.__members__);
    PyObject* getitem = _PyType_Lookup(meta, names.__getitem__);
    if (meta->tp_getattro != PyType_Type.tp_getattro || members == nullptr
        || _PyType_Lookup(meta, names.mro) != _PyType_Lookup(&PyType_Type, names.mro)
        || Py_TYPE(members) != &PyProperty_Type || _PyType_Lookup(meta, names._member_map_) != nullptr
        || !is_enum_function(getitem, "EnumType.__getitem__")) {
        return -1;
    }
    Ref members_fget = Ref::steal(PyObject_GetAttr(members, names.fget));
    if (!members_fget) {
        PyErr_Clear();
        return -1;
    }
    PyObject* globals = PyFunction_Check(members_fget.get())
                            ? PyFunction_GET_GLOBALS(members_fget.get())
                            : nullptr;
    if (globals == nullptr || !PyDict_CheckExact(globals)) {
        return -1;
    }
    if (property_getter(members) != members_fget.get()
        || !is_enum_function(members_fget.get(), "EnumType.__members__")
        || PyDict_GetItem(globals, names.MappingProxyType) != reinterpret_cast<PyObject*>(&PyDictProxy_Type)) {
        return -1;
    }

    // The functions' code may have been swapped before this first look: the
    // one-liners must compile to their stock bodies, and __get__ must come
    // from the same file.
    Ref refs[3];
    auto* get_code = reinterpret_cast<PyCodeObject*>(PyFunction_GET_CODE(get));
    auto* fget_code = reinterpret_cast<PyCodeObject*>(PyFunction_GET_CODE(fget));
    if (!reference_codes(refs) || !same_body(fget, refs[0].get()) || !same_body(getitem, refs[1].get())
        || !same_body(members_fget.get(), refs[2].get())
        || PyUnicode_CompareWithASCIIString(get_code->co_qualname, "property.__get__") != 0
        || PyObject_RichCompareBool(get_code->co_filename, fget_code->co_filename, Py_EQ) != 1) {
        PyErr_Clear();
        return -1;
    }

    unsigned int prop_version, meta_version;
    if (!version_of(prop_type, &prop_version) || !version_of(meta, &meta_version)) {
        return -1;
    }
    stock = {
        .state = 1,
        .value_descr = Py_NewRef(descr),
        .enum_property = reinterpret_cast<PyTypeObject*>(property.release()),
        .enum_property_version = prop_version,
        .property_get = Py_NewRef(get),
        .property_get_code = Py_NewRef(PyFunction_GET_CODE(get)),
        .value_fget = Py_NewRef(fget),
        .value_fget_code = Py_NewRef(PyFunction_GET_CODE(fget)),
        .enum_type = reinterpret_cast<PyTypeObject*>(EnumType.release()),
        .enum_type_version = meta_version,
        .members_property = Py_NewRef(members),
        .members_fget = Py_NewRef(members_fget.get()),
        .members_fget_code = Py_NewRef(PyFunction_GET_CODE(members_fget.get())),
        .getitem = Py_NewRef(getitem),
        .getitem_code = Py_NewRef(PyFunction_GET_CODE(getitem)),
        .enum_globals = Py_NewRef(globals),
    };
    return 1;
}

// Captures the stock objects once the enum module is loaded. Anything found
// already customised at that point disables the shortcuts for good.
bool
captured()
{
    if (stock.state != 0) {
        return stock.state > 0;
    }
    PyObject* exc = PyErr_GetRaisedException();  // callers may hold a pending exception
    Ref enum_module = Ref::steal(PyImport_GetModule(names.enum_));
    if (enum_module) {
        stock.state = capture_from(enum_module.get());
    }
    PyErr_Clear();
    PyErr_SetRaisedException(exc);
    return stock.state > 0;
}

}  // namespace

int
stock_member_value(PyObject* key, PyObject** out)
{
    PyTypeObject* type = Py_TYPE(key);
    if (type->tp_getattro != PyObject_GenericGetAttr || !captured()) {
        return 0;
    }
    if (type != stock_key_type || type->tp_version_tag != stock_key_type_version) {
        if (_PyType_Lookup(type, names.value) != stock.value_descr) {
            return 0;
        }
        // Remembered only where the tag covers everything the look-up reads: a
        // metaclass's own mro() can put classes whose changes don't reach the tag.
        if (Py_TYPE(type) == stock.enum_type && stock.enum_type->tp_version_tag == stock.enum_type_version
            && type->tp_version_tag != 0) {
            stock_key_type = type;
            stock_key_type_version = type->tp_version_tag;
        }
    }
    // The descriptor is still an enum.property whose class, __get__ and fget are
    // untouched, so the ordinary lookup would run `return self._value_`.
    PyTypeObject* prop_type = Py_TYPE(stock.value_descr);
    if (prop_type != stock.enum_property || prop_type->tp_version_tag != stock.enum_property_version
        || PyFunction_GET_CODE(stock.property_get) != stock.property_get_code
        || !own_attr_is(stock.value_descr, names.fget, stock.value_fget)
        || PyFunction_GET_CODE(stock.value_fget) != stock.value_fget_code) {
        return 0;
    }
    *out = PyObject_GetAttr(key, names._value_);
    return *out != nullptr ? 1 : -1;
}

PyObject*
stock_member_map(PyObject* enum_type)
{
    if (!captured() || Py_TYPE(enum_type) != stock.enum_type
        || stock.enum_type->tp_version_tag != stock.enum_type_version
        || property_getter(stock.members_property) != stock.members_fget
        || PyFunction_GET_CODE(stock.members_fget) != stock.members_fget_code
        || PyFunction_GET_CODE(stock.getitem) != stock.getitem_code
        || !entry_is(mapping_checked, stock.enum_globals, names.MappingProxyType,
                     reinterpret_cast<PyObject*>(&PyDictProxy_Type))) {
        return nullptr;
    }
    // The last enum class asked about and its map, while its version tag holds:
    // the class (or a base) can't be changed without the tag changing with it.
    static PyTypeObject* last_type;
    static unsigned int last_version;
    static PyObject* last_map;  // borrowed from the class, which holds it while the tag holds
    auto* type = reinterpret_cast<PyTypeObject*>(enum_type);
    if (type == last_type && type->tp_version_tag == last_version) {
        return last_map;
    }
    PyObject* map = _PyType_Lookup(type, names._member_map_);
    if (map == nullptr || !PyDict_CheckExact(map)) {
        return nullptr;
    }
    if (type->tp_version_tag != 0) {
        last_type = type;
        last_version = type->tp_version_tag;
        last_map = map;
    }
    return map;
}

}  // namespace quorcache
