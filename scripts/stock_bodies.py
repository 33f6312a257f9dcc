"""Prints, as C++ initialisers, the compiled bodies of the four enum.py functions that the
module's shortcuts stand for, as this interpreter compiles them: the table that
internals.hpp lists per CPython version. Run it with each supported interpreter when
adding a version, and review the output against the source it was compiled from.

    python3.13 scripts/stock_bodies.py
"""
import enum
import sys

FUNCTIONS = [
    ("property_get_body", enum.property.__get__),
    ("value_body", enum.Enum.__dict__["value"].fget),
    ("getitem_body", enum.EnumType.__getitem__),
    ("members_body", enum.EnumType.__dict__["__members__"].fget),
]


def literal(data):
    """A C string literal of `data`, 16 bytes a line."""
    lines = ['"' + "".join(f"\\x{b:02x}" for b in data[i:i + 16]) + '"'
             for i in range(0, len(data), 16)]
    return "\n        ".join(lines) or '""'


def text(value):
    return '"' + value.encode("unicode_escape").decode().replace('"', '\\"') + '"'


def const(f, index, value):
    if value is None:
        return "{ConstKind::NONE, nullptr}"
    if isinstance(value, str):
        if index == 0 and value == f.__doc__:
            return "{ConstKind::DOC, nullptr}"  # never loaded: any text stands for it
        return "{ConstKind::STR, " + text(value) + "}"
    sys.exit(f"unexpected constant {value!r}")


print(f"// CPython {sys.version.split()[0]}: scripts/stock_bodies.py")
for name, f in FUNCTIONS:
    c = f.__code__
    raw = c.co_code  # without the interpreter's specialisations, as PyCode_GetCode gives it
    print(f"inline const StockBody {name} = {{")
    print(f"    {c.co_argcount}, {c.co_posonlyargcount}, {c.co_kwonlyargcount}, {c.co_nlocals}, {c.co_flags:#x},")
    print("    {" + ", ".join(text(n) for n in c.co_names) + f"}}, {len(c.co_names)},")
    print("    {" + ", ".join(const(f, i, v) for i, v in enumerate(c.co_consts)) + f"}}, {len(c.co_consts)},")
    print(f"    {literal(raw)}, {len(raw)},")
    print(f"    {literal(c.co_exceptiontable)}, {len(c.co_exceptiontable)}}};")
