"""Check that the stub's signatures are the module's own: names, kinds and defaults, exactly.

stubtest leaves gaps here: it ignores parameter names of dunder methods (``__deepcopy__(self,
m)`` passes), lets a dunder method's stub make a parameter positional-only, and, like every
type checker, reads a parameter with a leading double underscore as positional-only. This
check reads the stub as written (with ``ast``) and compares every function and method it
declares with ``inspect.signature`` of the runtime object, and every method and function of
the runtime with the stub. The attributes the stub gives ``Cache`` for ``cache.NAME`` must be
the names of the module's ``CacheType`` members, exactly.

Usage: python tests/typing/stub_signatures.py [STUB]   (default: the installed quorcache.pyi)
Exits 1 and lists the differences when there are any.
"""
import ast
import importlib
import inspect
import os
import sys

MODULE = "quor_ui.fast.quorcache.quorcache"
P = inspect.Parameter
# The init slot's wrapper shows (self, /, *args, **kwargs) for every type; Cache() refuses
# every argument, as the stub says (tests/test_binding.py checks the messages).
SKIP = {"Cache.__init__"}
# Left out of the stub on purpose: a stub __getattr__ would make every misspelt attribute
# valid. The stub names the attributes it serves instead, one per CacheType member.
ABSENT = {"Cache.__getattr__"}


def _default(node):
    return P.empty if node is None else ast.literal_eval(node)


def stub_params(fn):
    """(name, kind, default) of each parameter of a stub function, as the stub writes it."""
    a = fn.args
    positional = a.posonlyargs + a.args
    defaults = [None] * (len(positional) - len(a.defaults)) + a.defaults
    out = [(arg.arg, P.POSITIONAL_ONLY if i < len(a.posonlyargs) else P.POSITIONAL_OR_KEYWORD,
            _default(d)) for i, (arg, d) in enumerate(zip(positional, defaults))]
    if a.vararg:
        out.append((a.vararg.arg, P.VAR_POSITIONAL, P.empty))
    out += [(arg.arg, P.KEYWORD_ONLY, _default(d)) for arg, d in zip(a.kwonlyargs, a.kw_defaults)]
    if a.kwarg:
        out.append((a.kwarg.arg, P.VAR_KEYWORD, P.empty))
    return out


def runtime_params(obj):
    return [(p.name, p.kind, p.default) for p in inspect.signature(obj).parameters.values()]


def _show(params):
    return "(" + ", ".join(f"{n}: {k.name}" + ("" if d is P.empty else f" = {d!r}")
                           for n, k, d in params) + ")"


MethodDescriptor = type(str.join)
BuiltinFunction = type(len)


def declared(pairs):
    return {qualname for qualname, _, _ in pairs}


def check_members(cls_node, module):
    """The member attributes the stub gives Cache against the module's CacheType members."""
    stub = {item.target.id for item in cls_node.body if isinstance(item, ast.AnnAssign)
            and isinstance(item.target, ast.Name) and not item.target.id.startswith("__")}
    members = set(module.CacheType.__members__)
    return ([f"Cache.{name}: a CacheType member, not in the stub" for name in sorted(members - stub)]
            + [f"Cache.{name}: in the stub, not a CacheType member" for name in sorted(stub - members)])


def check(stub_path, module):
    """Return the differences between the stub at ``stub_path`` and ``module``, one a line."""
    with open(stub_path, encoding="utf-8") as f:
        tree = ast.parse(f.read(), stub_path)
    problems = []
    pairs = []                        # (qualified name, stub function, runtime object)
    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            pairs.append((node.name, node, getattr(module, node.name, None)))
        elif isinstance(node, ast.ClassDef) and isinstance(getattr(module, node.name, None), type):
            cls = getattr(module, node.name)
            for item in node.body:
                if isinstance(item, ast.FunctionDef):
                    pairs.append((f"{node.name}.{item.name}", item, vars(cls).get(item.name)))
            # Every entry of the method table needs its stub; slot wrappers the stub lists
            # (__getitem__) are compared, the others (__getattribute__) are object's business.
            for name, value in vars(cls).items():
                qualname = f"{node.name}.{name}"
                if (isinstance(value, MethodDescriptor) and qualname not in declared(pairs)
                        and qualname not in ABSENT):
                    problems.append(f"{node.name}.{name}: in the module, not in the stub")
            if node.name == "Cache":
                problems += check_members(node, module)
    for name, value in vars(module).items():
        if isinstance(value, BuiltinFunction) and name not in declared(pairs):
            problems.append(f"{name}: in the module, not in the stub")
    for qualname, fn, obj in pairs:
        if qualname in SKIP:
            continue
        if obj is None:
            problems.append(f"{qualname}: in the stub, not in the module")
            continue
        try:
            runtime = runtime_params(obj)
        except ValueError as e:
            problems.append(f"{qualname}: the module shows no signature ({e})")
            continue
        stub = stub_params(fn)
        if stub != runtime:
            problems.append(f"{qualname}: stub {_show(stub)} != module {_show(runtime)}")
    return problems


def main(argv):
    module = importlib.import_module(MODULE)
    package = importlib.import_module(MODULE.rpartition(".")[0])
    stub = argv[1] if len(argv) > 1 else os.path.join(os.path.dirname(package.__file__),
                                                      "quorcache.pyi")
    problems = check(stub, module)
    for p in problems:
        print(f"{stub}: {p}")
    print(f"stub_signatures: {len(problems)} difference(s) between {stub} and {MODULE}")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
