"""What inspect, help() and editors see of the methods: text signatures and no docstrings."""
import inspect
import pydoc

import pytest
from conftest import slots

P = inspect.Parameter
POS_ONLY, POS_OR_KW, REQUIRED = P.POSITIONAL_ONLY, P.POSITIONAL_OR_KEYWORD, P.empty

# The parameters after the receiver, in order, as the binder takes them: (name, kind, default).
METHODS = {
    "clear": [],
    "clear_selected": [("blacklist", POS_OR_KW, None), ("whitelist", POS_OR_KW, None)],
    "get": [("type", POS_OR_KW, REQUIRED)],
    "set": [("type", POS_OR_KW, REQUIRED), ("value", POS_OR_KW, REQUIRED)],
    "get_or_set_val": [("type", POS_OR_KW, REQUIRED), ("value", POS_OR_KW, REQUIRED)],
    "get_or_exec": [("type", POS_OR_KW, REQUIRED), ("func", POS_OR_KW, REQUIRED)],
    "__getattr__": [("type", POS_ONLY, REQUIRED)],
    "copy": [],
    "__deepcopy__": [("memo", POS_OR_KW, REQUIRED)],
    "__reduce__": [],
    "__setstate__": [("__pyx_state", POS_OR_KW, REQUIRED)],
}
UNPICKLE = [("__pyx_type", POS_OR_KW, REQUIRED), ("__pyx_checksum", POS_OR_KW, REQUIRED),
            ("__pyx_state", POS_OR_KW, REQUIRED)]


def params(func):
    return [(p.name, p.kind, p.default) for p in inspect.signature(func).parameters.values()]


def test_every_method_of_the_table_is_listed(mod):
    assert [n for n, v in vars(mod.Cache).items() if type(v).__name__ == "method_descriptor"] \
        == list(METHODS)


@pytest.mark.parametrize("name", METHODS)
def test_method_signature_without_docstring(mod, cache, name):
    meth = vars(mod.Cache)[name]
    assert meth.__doc__ is None and getattr(cache, name).__doc__ is None
    assert params(meth) == [("self", POS_ONLY, REQUIRED), *METHODS[name]]
    assert params(getattr(cache, name)) == METHODS[name]
    shown = ", ".join(["self", "/"] + [n if d is REQUIRED else f"{n}={d}"
                                      for n, k, d in METHODS[name] if k is POS_OR_KW])
    if name == "__getattr__":
        shown = "self, type, /"
    assert f"{name}({shown})" in pydoc.render_doc(mod.Cache, renderer=pydoc.plaintext)


def test_unpickle_signature_without_docstring(mod):
    func = mod.__pyx_unpickle_Cache
    assert func.__doc__ is None and params(func) == UNPICKLE
    assert func.__text_signature__ == "(__pyx_type, __pyx_checksum, __pyx_state)"


def test_the_binder_takes_every_parameter_by_the_name_the_signature_shows(mod, cache, key):
    # One value per parameter name, so that each call below is a valid one.
    values = {"type": key, "value": 1, "func": list, "blacklist": [key], "whitelist": None,
              "memo": {}, "__pyx_state": (slots(cache),), "__pyx_type": mod.Cache,
              "__pyx_checksum": 0xBD51CB4}
    for name, expected in METHODS.items():
        meth = getattr(cache, name)
        if name != "__getattr__":
            kwargs = {n: values[n] for n, _, _ in expected}
            inspect.signature(meth).bind(**kwargs)
            meth(**kwargs)
    # __getattr__ takes its one argument by position only, as its signature says.
    inspect.signature(cache.__getattr__).bind("LAYOUT")
    assert cache.__getattr__("LAYOUT") is cache.get(key) == 1
    with pytest.raises(TypeError):
        inspect.signature(cache.__getattr__).bind(type="LAYOUT")
    with pytest.raises(TypeError, match="takes no keyword arguments"):
        cache.__getattr__(type="LAYOUT")
    kwargs = {n: values[n] for n, _, _ in UNPICKLE}
    assert type(mod.__pyx_unpickle_Cache(**kwargs)) is mod.Cache
