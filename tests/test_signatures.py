"""The shipped stubs declare exactly the signatures the modules parse."""

import ast
import inspect
import pathlib

import pytest

import nimbo.spsc_queue.spsc_queue as spsc_queue
import nimbo.utils.ferrylink.ferrylink as ferrylink

KINDS = {
    "posonlyargs": inspect.Parameter.POSITIONAL_ONLY,
    "args": inspect.Parameter.POSITIONAL_OR_KEYWORD,
    "kwonlyargs": inspect.Parameter.KEYWORD_ONLY,
}


def stub_parameters(fn: ast.FunctionDef | ast.AsyncFunctionDef) -> list[tuple]:
    a = fn.args
    positional = a.posonlyargs + a.args
    defaults = [inspect.Parameter.empty] * (len(positional) - len(a.defaults)) + [
        ast.literal_eval(d) for d in a.defaults
    ]
    out = []
    for field in ("posonlyargs", "args"):
        for p in getattr(a, field):
            out.append((p.arg, KINDS[field], defaults[positional.index(p)]))
    if a.vararg:
        out.append((a.vararg.arg, inspect.Parameter.VAR_POSITIONAL, inspect.Parameter.empty))
    for p, d in zip(a.kwonlyargs, a.kw_defaults):
        out.append((p.arg, KINDS["kwonlyargs"], inspect.Parameter.empty if d is None else ast.literal_eval(d)))
    return out


def runtime_parameters(obj) -> list[tuple]:
    return [(p.name, p.kind, p.default) for p in inspect.signature(obj).parameters.values()]


def stubbed(module):
    """(owner, name, stub function) for each function the stub declares."""
    tree = ast.parse(pathlib.Path(module.__file__).with_name(module.__name__.rpartition(".")[2] + ".pyi").read_text())
    for node in tree.body:
        if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef)):
            yield module, node.name, node
        elif isinstance(node, ast.ClassDef):
            for fn in node.body:
                if isinstance(fn, (ast.FunctionDef, ast.AsyncFunctionDef)) and not fn.decorator_list:
                    yield getattr(module, node.name), fn.name, fn


@pytest.mark.parametrize("module", [ferrylink, spsc_queue], ids=lambda m: m.__name__)
def test_stubs_match_runtime_signatures(module):
    seen = set()
    for owner, name, fn in stubbed(module):
        expected = stub_parameters(fn)
        if isinstance(owner, type):
            expected = expected[1:]  # self
            got = runtime_parameters(owner if name == "__init__" else getattr(owner, name))
            if name != "__init__":
                got = got[1:]
        else:
            got = runtime_parameters(getattr(owner, name))
        assert got == expected, f"{owner.__name__}.{name}"
        seen.add((owner, name))
    # Every public callable is declared.
    types = [v for v in vars(module).values() if isinstance(v, type) and v.__module__ == module.__name__]
    for owner in [module] + types:
        for name, value in vars(owner).items():
            if not name.startswith("_") and callable(value) and not isinstance(value, type):
                assert (owner, name) in seen, f"{getattr(owner, '__name__', owner)}.{name} has no stub"
