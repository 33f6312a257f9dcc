#include "enum_fast.hpp"

#include <cstdint>
#include <cstring>
#include <utility>

#include "constants.hpp"
#include "inline_attr.hpp"
#include "interpreter.hpp"
#include "ref.hpp"
#include "watch.hpp"

namespace quorcache {

namespace {

// What one look at the enum machinery found. A failure (an exception, typically a
// MemoryError) proves nothing about the machinery, so it is never taken as a finding.
enum Finding { FAILED = 0, STOCK = 1, CUSTOMISED = -1 };

// What the ordinary lookups run, captured on first use, when the enum module is
// loaded. Held for the life of the process, so identities can't be reused.
struct Stock {
    Finding state;  // FAILED: not captured yet, or every look so far failed
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

void
release(Stock& s)
{
    for (PyObject* p : {s.value_descr, reinterpret_cast<PyObject*>(s.enum_property), s.property_get,
                        s.property_get_code, s.value_fget, s.value_fget_code,
                        reinterpret_cast<PyObject*>(s.enum_type), s.members_property, s.members_fget,
                        s.members_fget_code, s.getitem, s.getitem_code, s.enum_globals}) {
        Py_XDECREF(p);
    }
}


// The last key type seen whose `value` is the stock descriptor; its version tag
// changes with any change to the type or its bases, and tags are never reused.
// Only ever compared by address with the type of a live key, never read through:
// a new type at the address of a dead one has another tag.
PyTypeObject* stock_key_type;
unsigned int stock_key_type_version;

// Where the value descriptor keeps `fget`, and where members of a stock key type
// keep `_value_`, in their inline values (inline_attr.hpp).
InlineSlot fget_slot;
InlineSlot value_slot;

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

// The three one-line functions of enum.py that the shortcuts stand for, as the
// instructions they compile to (inline cache entries left out), over their names:
//     def value(self): return self._value_
//     def __getitem__(cls, name): return cls._member_map_[name]
//     def __members__(cls): return MappingProxyType(cls._member_map_)
// Written out rather than compiled: the compiler is not safe to run under a failed
// allocation in every interpreter release, and a body swapped in before the first
// look must not pass for stock.
struct Instruction {
    int op;
    int arg;
    bool cached;  // followed by inline cache entries
};
struct Body {
    Instruction code[6];
    int length;
    PyObject* const* names[2];
    Py_ssize_t name_count;
    int argcount;
};
// The per-version spellings of the same bodies come from interpreter.hpp.
constexpr Instruction resume = {RESUME, 0, interp::resume_cached};
const Body value_body = {
    {resume, {interp::load_local, 0, false}, {LOAD_ATTR, 0, true}, {RETURN_VALUE, 0, false}},
    4, {&names._value_}, 1, 1};
const Body getitem_body = {
    {resume, {interp::load_local, 0, false}, {LOAD_ATTR, 0, true}, {interp::load_local, 1, false},
     {interp::subscript_op, interp::subscript_arg, true}, {RETURN_VALUE, 0, false}},
    6, {&names._member_map_}, 1, 2};
const Body members_body = {
    {resume, {LOAD_GLOBAL, 1, true}, {interp::load_local, 0, false}, {LOAD_ATTR, 2, true},
     {CALL, 1, true}, {RETURN_VALUE, 0, false}},
    6, {&names.MappingProxyType, &names._member_map_}, 2, 1};

// f's code is `body`: the same instructions over the same names, with plain
// positional arguments as its only locals and no exception handlers. 1 or 0; -1
// with the exception set if reading the instructions failed.
int
is_body(PyObject* f, const Body& body)
{
    auto* code = reinterpret_cast<PyCodeObject*>(PyFunction_GET_CODE(f));
    if (code->co_argcount != body.argcount || code->co_posonlyargcount != 0
        || code->co_kwonlyargcount != 0 || code->co_nlocalsplus != body.argcount
        || code->co_flags != interp::method_flags
        || PyBytes_GET_SIZE(code->co_exceptiontable) != 0
        || PyTuple_GET_SIZE(code->co_names) != body.name_count) {
        return 0;
    }
    for (Py_ssize_t i = 0; i < body.name_count; ++i) {
        PyObject* name = PyTuple_GET_ITEM(code->co_names, i);  // always exact str
        if (PyUnicode_Compare(name, *body.names[i]) != 0) {
            return 0;
        }
    }
    Ref ops = Ref::steal(PyCode_GetCode(code));  // without the interpreter's specialisations
    if (!ops) {
        return -1;
    }
    const auto* units = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(ops.get()));
    Py_ssize_t count = PyBytes_GET_SIZE(ops.get()) / 2;
    Py_ssize_t at = 0;
    for (int i = 0; i < body.length; ++i) {
        const Instruction& expected = body.code[i];
        if (at >= count || units[2 * at] != expected.op || units[2 * at + 1] != expected.arg) {
            return 0;
        }
        ++at;
        while (expected.cached && at < count && units[2 * at] == CACHE && units[2 * at + 1] == 0) {
            ++at;
        }
    }
    return at == count;
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

// dict[name] is `expected`, looked up again only after a watched dict changed
// since `checked`, the generation in which it was last confirmed (watch.hpp).
bool
entry_is(std::uint64_t& checked, PyObject* dict, PyObject* name, PyObject* expected)
{
    if (checked == dict_generation) {
        return true;
    }
    // A key that is no exact str could answer the look-up differently from one
    // call to the next without the dict changing, and would be asked at every
    // ordinary look-up: no shortcut stands for that.
    if (!only_str_keys(dict) || PyDict_GetItem(dict, name) != expected) {
        return false;
    }
    // Remembered only while the dict is watched; otherwise asked again next time.
    if (watch_dict(dict)) {
        checked = dict_generation;
    }
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

// Every class on type's MRO has a dict of exact str keys alone, so looking an
// interned name up in them (_PyType_Lookup) runs no code of anyone's. -1 with the
// exception set if a dict couldn't be had.
int
plain_lookup(PyTypeObject* type)
{
    PyObject* mro = type->tp_mro;  // the type holds it; nothing below runs code
    for (Py_ssize_t i = 0; mro != nullptr && i < PyTuple_GET_SIZE(mro); ++i) {
        Ref dict = Ref::steal(PyType_GetDict(reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i))));
        if (!dict) {
            return -1;
        }
        if (!only_str_keys(dict.get())) {
            return 0;
        }
    }
    return mro != nullptr;
}

// One look at the enum module's machinery. FAILED when something raised (the
// exception is left set) or when enum is still being imported; CUSTOMISED only
// when something was positively found to differ from the stock code.
//
// The look runs no code of anyone's: every dict it looks names up in is first
// found to hold exact str keys alone (a colliding key's __eq__ could otherwise
// change what was just checked, or free it), attributes are read through those
// dicts or from plain members, and strings are compared only as exact str. So
// what it checks is what it records, and the borrowed pointers below stay valid;
// every pointer kept in `stock` is owned.
Finding
capture_from(PyObject* enum_module)
{
    if (!PyModule_CheckExact(enum_module)) {
        return CUSTOMISED;
    }
    PyObject* module_dict = PyModule_GetDict(enum_module);  // the module holds it
    if (!only_str_keys(module_dict)) {
        return CUSTOMISED;
    }
    // A module's attribute is its dict's entry: ModuleType has none of these names.
    Ref Enum = Ref::borrow(PyDict_GetItemWithError(module_dict, names.Enum));
    Ref EnumType = Ref::borrow(PyDict_GetItemWithError(module_dict, names.EnumType));
    Ref property = Ref::borrow(PyDict_GetItemWithError(module_dict, names.property));
    if (!Enum || !EnumType || !property) {
        return FAILED;  // still being imported, or the look-up raised
    }
    if (!PyType_Check(Enum.get()) || !PyType_Check(EnumType.get()) || !PyType_Check(property.get())) {
        return CUSTOMISED;
    }
    auto* enum_cls = reinterpret_cast<PyTypeObject*>(Enum.get());
    auto* meta = reinterpret_cast<PyTypeObject*>(EnumType.get());
    auto* prop_type = reinterpret_cast<PyTypeObject*>(property.get());
    for (PyTypeObject* type : {enum_cls, meta, prop_type}) {
        int plain = plain_lookup(type);
        if (plain <= 0) {
            return plain < 0 ? FAILED : CUSTOMISED;
        }
    }

    Ref descr = Ref::borrow(PyDict_GetItemWithError(enum_cls->tp_dict, names.value));
    if (!descr && PyErr_Occurred()) {
        return FAILED;
    }
    if (!descr || Py_TYPE(descr.get()) != prop_type
        || prop_type->tp_getattro != PyObject_GenericGetAttr || prop_type->tp_descr_set == nullptr
        || _PyType_Lookup(prop_type, names.fget) != nullptr) {
        return CUSTOMISED;
    }
    Ref get = Ref::borrow(_PyType_Lookup(prop_type, names.__get__));
    // The property type has no `fget` of its own (checked above), so this reads
    // the instance's attribute and runs no code.
    Ref fget = Ref::steal(PyObject_GenericGetAttr(descr.get(), names.fget));
    if (!fget && !PyErr_ExceptionMatches(PyExc_AttributeError)) {
        return FAILED;
    }
    PyErr_Clear();
    if (!is_enum_function(get.get(), "property.__get__") || !is_enum_function(fget.get(), "Enum.value")) {
        return CUSTOMISED;
    }

    Ref members = Ref::borrow(_PyType_Lookup(meta, names.__members__));
    Ref getitem = Ref::borrow(_PyType_Lookup(meta, names.__getitem__));
    if (meta->tp_getattro != PyType_Type.tp_getattro || !members
        || _PyType_Lookup(meta, names.mro) != _PyType_Lookup(&PyType_Type, names.mro)
        || Py_TYPE(members.get()) != &PyProperty_Type || _PyType_Lookup(meta, names._member_map_) != nullptr
        || !is_enum_function(getitem.get(), "EnumType.__getitem__")) {
        return CUSTOMISED;
    }
    // An exact builtins.property: its fget is a plain member, read without running
    // code; the field read directly at every use must be that same getter.
    Ref members_fget = Ref::steal(PyObject_GetAttr(members.get(), names.fget));
    if (!members_fget) {
        return FAILED;
    }
    if (property_getter(members.get()) != members_fget.get()) {
        return CUSTOMISED;
    }
    PyObject* globals = members_fget && PyFunction_Check(members_fget.get())
                            ? PyFunction_GET_GLOBALS(members_fget.get())
                            : nullptr;
    if (globals == nullptr || !PyDict_CheckExact(globals)
        || !is_enum_function(members_fget.get(), "EnumType.__members__")) {
        return CUSTOMISED;
    }
    if (!only_str_keys(globals)) {
        return CUSTOMISED;
    }
    Ref enum_globals = Ref::borrow(globals);
    PyObject* proxy = PyDict_GetItemWithError(globals, names.MappingProxyType);
    if (proxy == nullptr && PyErr_Occurred()) {
        return FAILED;
    }
    if (proxy != reinterpret_cast<PyObject*>(&PyDictProxy_Type)) {
        return CUSTOMISED;
    }

    // The functions' code may have been swapped before this first look: the
    // one-liners must be their stock bodies, and __get__ must come from the same file.
    const std::pair<PyObject*, const Body*> bodies[] = {
        {fget.get(), &value_body}, {getitem.get(), &getitem_body}, {members_fget.get(), &members_body}};
    for (const auto& [f, body] : bodies) {
        int same = is_body(f, *body);
        if (same < 0) {
            return FAILED;
        }
        if (!same) {
            return CUSTOMISED;
        }
    }
    auto* get_code = reinterpret_cast<PyCodeObject*>(PyFunction_GET_CODE(get.get()));
    auto* fget_code = reinterpret_cast<PyCodeObject*>(PyFunction_GET_CODE(fget.get()));
    if (!PyUnicode_CheckExact(get_code->co_filename) || !PyUnicode_CheckExact(fget_code->co_filename)
        || PyUnicode_Compare(get_code->co_filename, fget_code->co_filename) != 0
        || PyUnicode_CompareWithASCIIString(get_code->co_qualname, "property.__get__") != 0) {
        return CUSTOMISED;
    }

    unsigned int prop_version, meta_version;
    if (!version_of(prop_type, &prop_version) || !version_of(meta, &meta_version)) {
        return CUSTOMISED;  // no version tag to watch them by
    }
    Stock previous = stock;  // from an earlier capture, if any
    stock = {
        .state = STOCK,
        .value_descr = descr.release(),
        .enum_property = reinterpret_cast<PyTypeObject*>(property.release()),
        .enum_property_version = prop_version,
        .property_get = Py_NewRef(get.get()),
        .property_get_code = Py_NewRef(PyFunction_GET_CODE(get.get())),
        .value_fget = Py_NewRef(fget.get()),
        .value_fget_code = Py_NewRef(PyFunction_GET_CODE(fget.get())),
        .enum_type = reinterpret_cast<PyTypeObject*>(EnumType.release()),
        .enum_type_version = meta_version,
        .members_property = members.release(),
        .members_fget = Py_NewRef(members_fget.get()),
        .members_fget_code = Py_NewRef(PyFunction_GET_CODE(members_fget.get())),
        .getitem = Py_NewRef(getitem.get()),
        .getitem_code = Py_NewRef(PyFunction_GET_CODE(getitem.get())),
        .enum_globals = enum_globals.release(),
    };
    mapping_checked = UINT64_MAX;  // what was remembered was about the earlier capture
    release(previous);  // may run code: `stock` is whole already
    return STOCK;
}

// Captures the stock objects once the enum module is loaded. A look that fails
// (an allocation, say) leaves the capture to be tried again at the next use. A
// finding of customisation disables the shortcuts for good, so it counts only
// when a second, independent look confirms it: some interpreter calls swallow
// their errors (_PyType_Lookup does) and would pass a failure off as a finding.
bool
captured()
{
    if constexpr (!interp::shortcuts) {
        return false;  // an interpreter whose enum module was not checked
    }
    if (stock.state != 0) {
        return stock.state == STOCK;
    }
    PyObject* exc = PyErr_GetRaisedException();  // callers may hold a pending exception
    Ref enum_module = Ref::steal(PyImport_GetModule(names.enum_));
    Finding found = enum_module ? capture_from(enum_module.get()) : FAILED;
    if (found == CUSTOMISED && !PyErr_Occurred()) {
        found = capture_from(enum_module.get());
    }
    if (PyErr_Occurred()) {
        found = FAILED;
        PyErr_Clear();
    }
    if (found == CUSTOMISED) {
        stock.state = CUSTOMISED;
    }
    PyErr_SetRaisedException(exc);
    return stock.state == STOCK;
}

// The descriptor's own `fget` is the stock getter: read from its inline values,
// or by the generic lookup (and then learnt) when they don't have it.
bool
stock_fget()
{
    PyObject* fget = inline_attr(fget_slot, stock.value_descr);
    if (fget != nullptr) {
        return fget == stock.value_fget;
    }
    if (!own_attr_is(stock.value_descr, names.fget, stock.value_fget)) {
        return false;
    }
    // enum.property has no attribute `fget` (checked when captured, and its
    // version tag is unchanged), so the lookup above read the instance's own.
    learn_inline_slot(fget_slot, stock.value_descr, names.fget, stock.value_fget);
    return true;
}

// enum.property or EnumType changed since the capture: their version tags differ
// from the ones recorded. Looks at the machinery again, once per change of them: a
// change that touches nothing the shortcuts stand for (an unrelated attribute, a
// mock.patch that puts the same function back) gives a new capture and the
// shortcuts back from the next use on; a real customisation keeps them off until
// the types change again. Changes of code and getters need no new look: the
// guards compare them with the captured objects, and pass again once they are back.
void
look_again()
{
    static unsigned int looked_prop, looked_meta;  // tags a look found customised
    unsigned int prop_now = 0, meta_now = 0;
    version_of(stock.enum_property, &prop_now);
    version_of(stock.enum_type, &meta_now);
    if (prop_now == looked_prop && meta_now == looked_meta) {
        return;
    }
    PyObject* exc = PyErr_GetRaisedException();
    Ref enum_module = Ref::steal(PyImport_GetModule(names.enum_));
    Finding found = enum_module ? capture_from(enum_module.get()) : FAILED;  // STOCK replaces `stock`
    if (PyErr_Occurred()) {
        found = FAILED;  // looked at again next time
        PyErr_Clear();
    }
    if (found == CUSTOMISED) {
        looked_prop = prop_now;
        looked_meta = meta_now;
    }
    PyErr_SetRaisedException(exc);
}

}  // namespace

int
stock_member_value(PyObject* key, PyObject** out)
{
    // The key's type is read only after the capture, which may have run code
    // (sys.modules, a first import) that gave the key another class.
    if (Py_TYPE(key)->tp_getattro != PyObject_GenericGetAttr || !captured()) {
        return 0;
    }
    PyTypeObject* type = Py_TYPE(key);
    if (type != stock_key_type || type->tp_version_tag != stock_key_type_version) {
        // Held: a colliding key in a class dict on the way can run code that gives
        // the key another class and frees this one.
        Ref held = Ref::borrow(reinterpret_cast<PyObject*>(type));
        if (_PyType_Lookup(type, names.value) != stock.value_descr || type != Py_TYPE(key)) {
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
    if (prop_type == stock.enum_property && prop_type->tp_version_tag != stock.enum_property_version) {
        look_again();
        return 0;
    }
    if (prop_type != stock.enum_property
        || PyFunction_GET_CODE(stock.property_get) != stock.property_get_code || !stock_fget()
        || PyFunction_GET_CODE(stock.value_fget) != stock.value_fget_code) {
        return 0;
    }
    // `self._value_`: from the member's inline values when learnt for its type at
    // its version tag, which was learnt only with no `_value_` on the type.
    if (PyObject* value = inline_attr(value_slot, key)) {
        *out = Py_NewRef(value);
        return 1;
    }
    *out = PyObject_GetAttr(key, names._value_);
    if (*out == nullptr) {
        return -1;
    }
    // Learnt for the remembered stock key type at its tag, when it has no `_value_`
    // of its own: then the lookup just made read the member's own attribute. The
    // type is read afresh and held (code run above, or by a colliding key in a
    // class dict during the look-up below, may give the key another class), and
    // checked again after that look-up; learn_inline_slot compares with *out.
    auto* now = Py_TYPE(key);
    Ref held = Ref::borrow(reinterpret_cast<PyObject*>(now));
    if (now == stock_key_type && now->tp_version_tag == stock_key_type_version
        && _PyType_Lookup(now, names._value_) == nullptr && Py_TYPE(key) == now
        && now->tp_version_tag == stock_key_type_version) {
        learn_inline_slot(value_slot, key, names._value_, *out);
    }
    return 1;
}

Ref
stock_member_map(PyObject* enum_type)
{
    if (!captured() || Py_TYPE(enum_type) != stock.enum_type) {
        return {};
    }
    if (stock.enum_type->tp_version_tag != stock.enum_type_version) {
        look_again();
        return {};
    }
    if (!entry_is(mapping_checked, stock.enum_globals, names.MappingProxyType,
                  reinterpret_cast<PyObject*>(&PyDictProxy_Type))
        || property_getter(stock.members_property) != stock.members_fget
        || PyFunction_GET_CODE(stock.members_fget) != stock.members_fget_code
        || PyFunction_GET_CODE(stock.getitem) != stock.getitem_code) {
        return {};
    }
    // The last enum class asked about and its map, while its version tag holds:
    // the class (or a base) can't be changed without the tag changing with it.
    // The class is only compared by address (a new class at the same address has
    // another tag); the map is owned, so it outlives even a class dict changed
    // behind the type's back. Never released: it lives as long as the module.
    static PyTypeObject* last_type;
    static unsigned int last_version;
    static PyObject* last_map;
    auto* type = reinterpret_cast<PyTypeObject*>(enum_type);
    if (type == last_type && type->tp_version_tag == last_version) {
        return Ref::borrow(last_map);
    }
    Ref map = Ref::borrow(_PyType_Lookup(type, names._member_map_));
    if (!map || !PyDict_CheckExact(map.get())) {
        return {};
    }
    if (type->tp_version_tag != 0) {
        PyObject* old = last_map;
        last_type = type;
        last_version = type->tp_version_tag;
        last_map = Py_NewRef(map.get());
        Py_XDECREF(old);  // may run code; what is remembered is already consistent
    }
    return map;
}

}  // namespace quorcache
