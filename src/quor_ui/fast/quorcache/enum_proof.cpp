#include "enum_proof.hpp"

#include <utility>

#include "constants.hpp"
#include "internals.hpp"
#include "remembered.hpp"

namespace quorcache {

namespace {

// What one look at the enum machinery found. A failure (an exception, typically a
// MemoryError) proves nothing about the machinery, so it is never taken as a finding.
enum Finding { FAILED = 0, STOCK = 1, CUSTOMISED = -1 };

// The parts of the machinery a look reads, owned while it checks them.
struct Parts {
    Ref Enum, EnumType, property;  // the classes, as enum's namespace holds them
    Ref value_descr;  // Enum.__dict__['value']
    Ref property_get;  // enum.property.__get__
    Ref value_fget;  // the descriptor's fget
    Ref members;  // EnumType.__members__
    Ref members_fget;
    Ref getitem;  // EnumType.__getitem__
    Ref enum_globals;  // the globals of __members__'s getter
    // The tags of enum.property and EnumType when the look began: a finding is
    // remembered at them, so it is void if either changed during the look.
    bool tagged = false;
    unsigned int property_tag = 0, meta_tag = 0;
};

PyTypeObject*
as_type(const Ref& r)
{
    return reinterpret_cast<PyTypeObject*>(r.get());
}

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

// Every class on type's MRO has a dict of exact str keys alone, so looking an
// interned name up in them (type_lookup) runs no code of anyone's.
Finding
check_plain_lookup(PyTypeObject* type)
{
    PyObject* mro = type->tp_mro;  // the type holds it; nothing below runs code
    for (Py_ssize_t i = 0; mro != nullptr && i < PyTuple_GET_SIZE(mro); ++i) {
        Ref dict =
            Ref::steal(PyType_GetDict(reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i))));
        if (!dict) {
            return FAILED;
        }
        if (!only_str_keys(dict.get())) {
            return CUSTOMISED;
        }
    }
    return mro != nullptr ? STOCK : CUSTOMISED;
}

// enum's namespace holds the classes Enum, EnumType and property, each looked up
// through dicts of str keys alone.
Finding
check_classes(PyObject* enum_module, Parts& p)
{
    if (!PyModule_CheckExact(enum_module)) {
        return CUSTOMISED;
    }
    PyObject* module_dict = PyModule_GetDict(enum_module);  // the module holds it
    if (!only_str_keys(module_dict)) {
        return CUSTOMISED;
    }
    // A module's attribute is its dict's entry: ModuleType has none of these names.
    p.Enum = Ref::borrow(PyDict_GetItemWithError(module_dict, names.Enum));
    p.EnumType = Ref::borrow(PyDict_GetItemWithError(module_dict, names.EnumType));
    p.property = Ref::borrow(PyDict_GetItemWithError(module_dict, names.property));
    if (!p.Enum || !p.EnumType || !p.property) {
        return FAILED;  // still being imported, or the look-up raised
    }
    for (const Ref* cls : {&p.Enum, &p.EnumType, &p.property}) {
        if (!PyType_Check(cls->get())) {
            return CUSTOMISED;
        }
        Finding plain = check_plain_lookup(as_type(*cls));
        if (plain != STOCK) {
            return plain;
        }
    }
    p.property_tag = assign_version_tag(as_type(p.property));
    p.meta_tag = assign_version_tag(as_type(p.EnumType));
    p.tagged = true;
    return STOCK;
}

// Enum.value is an enum.property with enum.py's own __get__ and getter, and
// reading the descriptor's fget runs no code.
Finding
check_value_descriptor(Parts& p)
{
    PyTypeObject* prop_type = as_type(p.property);
    p.value_descr = Ref::borrow(PyDict_GetItemWithError(as_type(p.Enum)->tp_dict, names.value));
    if (!p.value_descr) {
        return PyErr_Occurred() ? FAILED : CUSTOMISED;
    }
    if (Py_TYPE(p.value_descr.get()) != prop_type
        || prop_type->tp_getattro != PyObject_GenericGetAttr || prop_type->tp_descr_set == nullptr
        || type_lookup(prop_type, names.fget) != nullptr) {
        return CUSTOMISED;
    }
    p.property_get = Ref::borrow(type_lookup(prop_type, names.__get__));
    // The property type has no `fget` of its own (checked above), so this reads
    // the instance's attribute: from its inline values, or from its dict, where a
    // key that is no str can run code (look_at_enum_machinery voids the look then).
    p.value_fget = Ref::steal(PyObject_GenericGetAttr(p.value_descr.get(), names.fget));
    if (!p.value_fget && !PyErr_ExceptionMatches(PyExc_AttributeError)) {
        return FAILED;
    }
    PyErr_Clear();
    return is_enum_function(p.property_get.get(), "property.__get__")
                   && is_enum_function(p.value_fget.get(), "Enum.value")
               ? STOCK
               : CUSTOMISED;
}

// EnumType keeps type's attribute lookup and mro, and enum.py's own __getitem__
// and __members__ (an exact builtins.property, whose getter field is the one read).
Finding
check_metaclass(Parts& p)
{
    PyTypeObject* meta = as_type(p.EnumType);
    p.members = Ref::borrow(type_lookup(meta, names.__members__));
    p.getitem = Ref::borrow(type_lookup(meta, names.__getitem__));
    if (meta->tp_getattro != PyType_Type.tp_getattro || !p.members
        || type_lookup(meta, names.mro) != type_lookup(&PyType_Type, names.mro)
        || Py_TYPE(p.members.get()) != &PyProperty_Type
        || type_lookup(meta, names._member_map_) != nullptr
        || !is_enum_function(p.getitem.get(), "EnumType.__getitem__")) {
        return CUSTOMISED;
    }
    // An exact builtins.property: its fget is a plain member, read without running code.
    p.members_fget = Ref::steal(PyObject_GetAttr(p.members.get(), names.fget));
    if (!p.members_fget) {
        return FAILED;
    }
    return property_getter(p.members.get()) == p.members_fget.get()
                   && is_enum_function(p.members_fget.get(), "EnumType.__members__")
               ? STOCK
               : CUSTOMISED;
}

// The globals __members__ runs with hold str keys alone and the stock MappingProxyType.
Finding
check_members_globals(Parts& p)
{
    PyObject* globals = PyFunction_GET_GLOBALS(p.members_fget.get());
    if (!PyDict_CheckExact(globals) || !only_str_keys(globals)) {
        return CUSTOMISED;
    }
    p.enum_globals = Ref::borrow(globals);
    PyObject* proxy = PyDict_GetItemWithError(globals, names.MappingProxyType);
    if (proxy == nullptr && PyErr_Occurred()) {
        return FAILED;
    }
    return proxy == reinterpret_cast<PyObject*>(&PyDictProxy_Type) ? STOCK : CUSTOMISED;
}

// The functions' code may have been swapped before this look: each must be the
// body this interpreter's enum.py compiles to.
Finding
check_bodies(Parts& p)
{
    const std::pair<PyObject*, const StockBody*> bodies[] = {
        {p.property_get.get(), &stock_bodies::property_get_body},
        {p.value_fget.get(), &stock_bodies::value_body},
        {p.getitem.get(), &stock_bodies::getitem_body},
        {p.members_fget.get(), &stock_bodies::members_body}};
    for (const auto& [f, body] : bodies) {
        int same = function_body_is(f, *body);
        if (same <= 0) {
            return same < 0 ? FAILED : CUSTOMISED;
        }
    }
    return STOCK;
}

// One look at the machinery, each fact checked in turn. FAILED when something
// raised (the exception is left set) or when enum is still being imported;
// CUSTOMISED only when something was positively found to differ from the stock code.
//
// The look runs no code of anyone's but at one read: every dict it looks names up
// in is first found to hold exact str keys alone, attributes are read through
// those dicts or from plain members, and strings are compared only as exact str.
// The one exception is the value descriptor's own dict, where a key's __eq__ can
// run; what it changes later checks see, and a change of either class's tag makes
// the look fail. So what it checks is what it records.
Finding
examine(PyObject* enum_module, Parts& p)
{
    Finding (*const checks[])(Parts&) = {check_value_descriptor, check_metaclass,
                                         check_members_globals, check_bodies};
    Finding found = check_classes(enum_module, p);
    for (auto check : checks) {
        if (found != STOCK) {
            return found;
        }
        found = check(p);
    }
    return found;
}

void
keep_stock(Parts& p)
{
    StockMachinery& s = remembered.stock;
    // What an earlier capture held is released last, once this one is whole: its
    // release may run code that uses the capture.
    Ref earlier[13];
    int n = 0;
    auto keep = [&](Held& field, Ref value) { earlier[n++] = field.exchange(std::move(value)); };
    s.enum_property.remember(as_type(p.property));
    s.enum_type.remember(as_type(p.EnumType));
    keep(s.property_get_code, Ref::borrow(PyFunction_GET_CODE(p.property_get.get())));
    keep(s.value_fget_code, Ref::borrow(PyFunction_GET_CODE(p.value_fget.get())));
    keep(s.members_fget_code, Ref::borrow(PyFunction_GET_CODE(p.members_fget.get())));
    keep(s.getitem_code, Ref::borrow(PyFunction_GET_CODE(p.getitem.get())));
    keep(s.enum_property_type, std::move(p.property));
    keep(s.enum_type_type, std::move(p.EnumType));
    keep(s.value_descr, std::move(p.value_descr));
    keep(s.property_get, std::move(p.property_get));
    keep(s.value_fget, std::move(p.value_fget));
    keep(s.members_property, std::move(p.members));
    keep(s.members_fget, std::move(p.members_fget));
    keep(s.getitem, std::move(p.getitem));
    keep(s.enum_globals, std::move(p.enum_globals));
    remembered.mapping_proxy_fact.forget();  // it was about the earlier capture
    remembered.customised = false;
    s.captured = s.enum_property.version != 0 && s.enum_type.version != 0;
}

// Tags that a look found customised; (nullptr, 0) where enum had no such class.
TypeFact
customised_at(const Ref& cls)
{
    if (!cls || !PyType_Check(cls.get())) {
        return {};
    }
    return {as_type(cls), assign_version_tag(as_type(cls))};
}

void
keep_customised(Parts& p)
{
    Remembered& r = remembered;
    r.stock.captured = false;
    r.customised_property = customised_at(p.property);
    r.customised_meta = customised_at(p.EnumType);
    r.customised = true;
    // The classes of an earlier finding are released last, once this one is whole.
    Ref earlier[] = {
        r.customised_property_type.exchange(r.customised_property.type ? std::move(p.property)
                                                                       : Ref()),
        r.customised_meta_type.exchange(r.customised_meta.type ? std::move(p.EnumType) : Ref())};
}

// The one place that decides, whenever a look is due (first use, or enum.property
// or EnumType changed): stock gives a new capture and the shortcuts from the next
// use on; a customisation, confirmed by a second independent look (some interpreter
// calls swallow their errors, as type_lookup does, and would pass a failure off as
// a finding), keeps them off until enum.property or EnumType changes again (for
// good where enum has no such class); a failure decides nothing and is looked at
// again at the next use.
void
look_at_enum_machinery()
{
    PyObject* exc = PyErr_GetRaisedException();  // callers may hold a pending exception
    Ref enum_module = Ref::steal(PyImport_GetModule(names.enum_));
    Parts parts;
    Finding found = enum_module ? examine(enum_module.get(), parts) : FAILED;
    if (found == CUSTOMISED && !PyErr_Occurred()) {
        parts = Parts();
        found = examine(enum_module.get(), parts);
    }
    // Reading the descriptor's own `fget` can run a colliding key's __eq__ in its
    // dict, which may change either class after it was checked.
    if (found != FAILED && parts.tagged
        && (version_tag(as_type(parts.property)) != parts.property_tag
            || version_tag(as_type(parts.EnumType)) != parts.meta_tag)) {
        found = FAILED;
    }
    if (PyErr_Occurred()) {
        found = FAILED;
        PyErr_Clear();
    }
    if (found == STOCK) {
        keep_stock(parts);
    }
    else if (found == CUSTOMISED) {
        keep_customised(parts);
    }
    PyErr_SetRaisedException(exc);
}

// Still as a look found it customised: neither class has changed since.
bool
still_customised()
{
    const Remembered& r = remembered;
    for (const TypeFact* f : {&r.customised_property, &r.customised_meta}) {
        if (f->type != nullptr && version_tag(f->type) != f->version) {
            return false;
        }
    }
    return r.customised;
}

// The machinery is captured as stock: looks at it first (and captures it) if a look
// is due.
bool
capture_machinery_if_stock()
{
    if (remembered.stock.captured) {
        return true;
    }
    if (!SHORTCUTS || still_customised()) {
        return false;
    }
    look_at_enum_machinery();
    return remembered.stock.captured;
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

// The descriptor's own `fget` is the stock getter: read from its inline values,
// or by the generic lookup when they don't have it, learning where it lives then.
bool
check_fget_learning_its_slot()
{
    StockMachinery& s = remembered.stock;
    PyObject* fget = inline_attr(remembered.fget_slot, s.value_descr.get());
    if (fget != nullptr) {
        return fget == s.value_fget.get();
    }
    if (!own_attr_is(s.value_descr.get(), names.fget, s.value_fget.get())) {
        return false;
    }
    // enum.property has no attribute `fget` (checked when captured, and its
    // version tag is unchanged), so the lookup above read the instance's own.
    learn_inline_slot(remembered.fget_slot, s.value_descr.get(), names.fget, s.value_fget.get());
    return true;
}

// The descriptor is still an enum.property whose class, __get__ and fget are
// untouched, so the ordinary lookup of key.value would run `return self._value_`.
// A change of enum.property's tag is a reason to look at the machinery again.
bool
value_descriptor_is_stock()
{
    StockMachinery& s = remembered.stock;
    PyTypeObject* prop_type = Py_TYPE(s.value_descr.get());
    if (!s.enum_property.holds_for(prop_type)) {
        if (prop_type == s.enum_property.type) {
            look_at_enum_machinery();
        }
        return false;
    }
    return PyFunction_GET_CODE(s.property_get.get()) == s.property_get_code.get()
           && check_fget_learning_its_slot()
           && PyFunction_GET_CODE(s.value_fget.get()) == s.value_fget_code.get();
}

// The entry of `type` among the remembered stock key types, or -1.
int
stock_key_type_index(PyTypeObject* type)
{
    for (int i = 0; i < STOCK_KEY_TYPES; ++i) {
        if (remembered.stock_key_types[i].holds_for(type)) {
            return i;
        }
    }
    return -1;
}

inline constexpr int NOT_STOCK = -2, STOCK_UNREMEMBERED = -1;

// `type`, the class of `key`, resolves `value` to the stock descriptor: its entry
// among the remembered stock key types, where it is remembered (replacing the
// oldest of a few) when its tag covers everything the look-up reads;
// STOCK_UNREMEMBERED, or NOT_STOCK.
int
stock_key_type_entry(PyObject* key, PyTypeObject* type)
{
    int entry = stock_key_type_index(type);
    if (entry >= 0) {
        return entry;
    }
    StockMachinery& s = remembered.stock;
    // Held: a colliding key in a class dict on the way can run code that gives
    // the key another class and frees this one.
    Ref held = Ref::borrow(reinterpret_cast<PyObject*>(type));
    if (type_lookup(type, names.value) != s.value_descr.get() || type != Py_TYPE(key)) {
        return NOT_STOCK;
    }
    // Not where a metaclass's own mro() can put classes whose changes don't reach the tag.
    Remembered& r = remembered;
    entry = r.next_stock_key_type;
    if (!s.enum_type.holds_for(Py_TYPE(type)) || !r.stock_key_types[entry].remember(type)) {
        return STOCK_UNREMEMBERED;
    }
    r.value_slots[entry] = {};
    r.next_stock_key_type = (entry + 1) % STOCK_KEY_TYPES;
    return entry;
}

// enum's globals()['MappingProxyType'] is types.MappingProxyType, looked up
// again only after a watched dict changed (and asked every time without a watcher);
// watches enum's globals when it holds.
bool
watch_mapping_proxy_if_stock()
{
    Remembered& r = remembered;
    if (r.mapping_proxy_fact.holds()) {
        return true;
    }
    PyObject* globals = r.stock.enum_globals.get();
    // A key that is no exact str could answer the look-up differently from one
    // call to the next without the dict changing: no shortcut stands for that.
    if (!only_str_keys(globals)
        || PyDict_GetItem(globals, names.MappingProxyType)
               != reinterpret_cast<PyObject*>(&PyDictProxy_Type)) {
        return false;
    }
    if (watch_dict(globals)) {
        r.mapping_proxy_fact.confirm();
    }
    return true;
}

}  // namespace

int
stock_member_value(PyObject* key, PyObject** out)
{
    // The key's type is read only after the capture, which may have run code
    // (sys.modules, a first import) that gave the key another class.
    if (Py_TYPE(key)->tp_getattro != PyObject_GenericGetAttr || !capture_machinery_if_stock()) {
        return 0;
    }
    int entry = stock_key_type_entry(key, Py_TYPE(key));
    if (entry == NOT_STOCK || !value_descriptor_is_stock()) {
        return 0;
    }
    // `self._value_`: from the member's inline values when learnt for its type at
    // its version tag, which was learnt only with no `_value_` on the type.
    if (PyObject* value = entry >= 0 ? inline_attr(remembered.value_slots[entry], key) : nullptr) {
        *out = Py_NewRef(value);
        return 1;
    }
    *out = PyObject_GetAttr(key, names._value_);
    if (*out == nullptr) {
        return -1;
    }
    // Learnt for a remembered stock key type at its tag, when it has no `_value_`
    // of its own: then the lookup just made read the member's own attribute. The
    // type is read afresh and held (code run above, or by a colliding key in a
    // class dict during the look-up below, may give the key another class), and
    // checked again after that look-up; learn_inline_slot compares with *out.
    auto* now = Py_TYPE(key);
    Ref held = Ref::borrow(reinterpret_cast<PyObject*>(now));
    entry = stock_key_type_index(now);
    if (entry >= 0 && type_lookup(now, names._value_) == nullptr && Py_TYPE(key) == now
        && stock_key_type_index(now) == entry) {
        learn_inline_slot(remembered.value_slots[entry], key, names._value_, *out);
    }
    return 1;
}

Ref
stock_member_map(PyObject* enum_type)
{
    StockMachinery& s = remembered.stock;
    if (!capture_machinery_if_stock() || Py_TYPE(enum_type) != s.enum_type.type) {
        return {};
    }
    if (!s.enum_type.holds_for(Py_TYPE(enum_type))) {
        look_at_enum_machinery();
        return {};
    }
    if (!watch_mapping_proxy_if_stock()
        || property_getter(s.members_property.get()) != s.members_fget.get()
        || PyFunction_GET_CODE(s.members_fget.get()) != s.members_fget_code.get()
        || PyFunction_GET_CODE(s.getitem.get()) != s.getitem_code.get()) {
        return {};
    }
    // The last enum class asked about and its map, while its version tag holds:
    // the class (or a base) can't be changed without the tag changing with it. The
    // map is owned, so it outlives even a class dict changed behind the type's back.
    Remembered& r = remembered;
    auto* type = reinterpret_cast<PyTypeObject*>(enum_type);
    if (r.member_map_class.holds_for(type)) {
        return Ref::borrow(r.member_map.get());
    }
    Ref map = Ref::borrow(type_lookup(type, names._member_map_));
    if (!map || !PyDict_CheckExact(map.get())) {
        return {};
    }
    if (version_tag(type) != 0) {
        r.member_map_class = {type, version_tag(type)};
        r.member_map.set(Ref::borrow(map.get()));  // may run code: what is remembered is whole
    }
    return map;
}

}  // namespace quorcache
