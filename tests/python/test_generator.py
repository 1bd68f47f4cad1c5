"""tools/codegen/gen_python.py against the rest of the generators: every function's parameter
roles fit the C parameters the IVI-C tables check (a wrong role would hand the driver a number
where it writes an array), and every attribute is placed exactly once."""
import os
import sys
from pathlib import Path

import pytest

SRC = Path(os.environ["KORVANE_SOURCE_DIR"])
sys.path.insert(0, str(SRC / "tools" / "codegen"))
import gen_ansic  # noqa: E402
import gen_python  # noqa: E402
import ivic_tables  # noqa: E402

# What each role asks of its C parameter: (pointer, array, allowed base types).
SHAPES = {
    "repcap": (False, False, {"ViConstString"}),
    "in": (False, False, {"ViInt16", "ViInt32", "ViInt64", "ViReal64", "ViBoolean", "ViConstString"}),
    "out": (True, False, {"ViInt16", "ViInt32", "ViInt64", "ViReal64", "ViBoolean"}),
    "count": (False, False, {"ViInt32", "ViInt64"}),
    "icount": (False, False, {"ViInt32", "ViInt64"}),
    "sbuf": (False, False, {"ViInt32"}),
    "sout": (False, True, {"ViChar"}),
    "aout": (False, True, {"ViReal64", "ViInt16", "ViInt32", "ViByte"}),
    "fill": (False, True, {"ViReal64", "ViInt16", "ViInt32", "ViByte"}),
    "ain": (False, True, {"ViReal64", "ViInt16", "ViInt32", "ViByte"}),
    "actual": (True, False, {"ViInt32"}),
}


@pytest.fixture(scope="module")
def catalog():
    return gen_python.Catalog(SRC / "catalog")


def test_function_roles_fit_the_c_parameters(catalog):
    checked = ivic_tables.load(SRC / "catalog").functions
    assert len(checked) == len(catalog.functions)
    for f in catalog.functions:
        roles = gen_python.function_roles(f, catalog)
        params = [ivic_tables.parse_c_param(p) for p in f["params"]]
        assert len(roles) == len(params), f["name"]
        for (role, _), p in zip(roles, params):
            pointer, array, types = SHAPES[role]
            assert (p.pointer, p.array, p.type in types) == (pointer, array, True), (f["name"], role, str(p))
        # A buffer's size comes right before it; an input array's count right before the array.
        for k, (role, _) in enumerate(roles):
            if role in ("sbuf", "icount"):
                assert roles[k + 1][0] == {"sbuf": "sout", "icount": "ain"}[role], f["name"]


def test_waveform_functions_return_waveforms(catalog):
    root, collections, _ = gen_python.build(catalog)
    item = collections["Channel"].item
    for name in ("read_waveform", "fetch_waveform", "read_min_max_waveform", "fetch_min_max_waveform"):
        layout = item.funcs[name]
        assert layout["waveform"], name
        assert [r[2] for r in layout["layout"] if r[0] == "count"] == ["points"]
    assert not root.funcs["waveform_preamble"]["waveform"]


def test_every_attribute_is_placed_once(catalog):
    root, collections, _ = gen_python.build(catalog)
    placed = []
    for top in [root] + [c.item for c in collections.values()]:
        for node in top.walk():
            placed += [a["id"] for a, _, _, _ in node.attrs.values()]
    counts = [c.count for c in collections.values()]
    assert None not in counts
    total = sum(len(g["attributes"]) for g in catalog.groups)
    assert len(placed) == len(set(placed)) == total - len(counts) - len(gen_python.NO_FLAT_FORM)


def test_every_call_is_a_function_the_library_exports(catalog):
    """A name the generator made up, or one on the wrong side of _get/_set, would fail only when
    called; the library exports exactly gen_ansic's list."""
    root, collections, _ = gen_python.build(catalog)
    exported = set(gen_ansic.exported(gen_ansic.load(SRC / "catalog")))
    called = set()
    for top in [root] + [c.item for c in collections.values()]:
        for node in top.walk():
            for a, _, _, cname in node.attrs.values():
                called |= {cname + "_get"} if a["access"] == "R" else {cname + "_set"} if a["access"] == "W" else \
                    {cname + "_get", cname + "_set"}
            called |= {entry["c"] for entry in node.funcs.values()}
            if node.kind == "collection":
                called |= {node.count, node.name_function}
    assert len(called) > 1000 and called <= exported, sorted(called - exported)[:10]
    # Each method's flat layout takes as many C parameters as the prototype has.
    model = gen_ansic.load(SRC / "catalog")
    params = {f.name: len(f.params) + len(f.node.selectors) for f in model.functions}
    width = {"repcap": 1, "in": 1, "out": 1, "sout": 3, "aout": 3, "fill": 3, "ain": 2, "count": 0}
    for top in [root] + [c.item for c in collections.values()]:
        for node in top.walk():
            for entry in node.funcs.values():
                assert sum(width[r[0]] for r in entry["flat"]) == params[entry["c"]], entry["c"]


@pytest.mark.parametrize("name, snake", [
    ("TimePerRecord", "time_per_record"), ("VoltageRMS", "voltage_rms"), ("I2S", "i2s"),
    ("ARINC429", "arinc429"), ("Bit0Label", "bit0_label"), ("OR", "or_"), ("FlexRay", "flex_ray"),
])
def test_snake_names(name, snake):
    assert gen_python.snake(name) == snake


def test_versioned_getters_land_where_the_first_does():
    getters = {"Trigger", "CAN", "Search", "Serial"}
    assert [gen_python.component(g, getters) for g in ("Trigger4", "CAN2", "ARINC429", "M1553", "Serial3")] == \
        ["trigger", "can", "arinc429", "m1553", "serial"]


def test_generated_module_is_stable(tmp_path, catalog):
    # Same catalogue, same text: the build does not rewrite (and recompile) what did not change.
    a, b = tmp_path / "a.py", tmp_path / "b.py"
    assert gen_python.main([str(SRC / "catalog"), str(a)]) == 0
    assert gen_python.main([str(SRC / "catalog"), str(b)]) == 0
    assert a.read_text() == b.read_text()


def test_stub_declares_what_the_runtime_builds(tmp_path):
    # The typed stub is written beside the module: same classes, same properties (read-only ones
    # without a setter) and the same method signatures as the runtime makes from the layouts.
    import ast
    import enum
    import inspect

    import korvane._generated as runtime
    stub = ast.parse((Path(runtime.__file__).with_suffix(".pyi")).read_text())
    classes = {c.name: c for c in stub.body if isinstance(c, ast.ClassDef)}
    checked = 0
    for name, cls in vars(runtime).items():
        if not isinstance(cls, type) or cls.__module__ != runtime.__name__ or name != cls.__name__:
            continue
        assert name in classes, name
        if issubclass(cls, enum.Enum):
            assert [t.targets[0].id for t in classes[name].body] == [m.name for m in cls], name
            continue
        declared = {}
        for node in classes[name].body:
            if isinstance(node, ast.FunctionDef):
                setter = any(isinstance(d, ast.Attribute) and d.attr == "setter" for d in node.decorator_list)
                declared.setdefault(node.name, []).append((node, setter))
            elif isinstance(node, ast.AnnAssign):
                declared[node.target.id] = []
        for member, value in vars(cls).items():
            if member.startswith("_"):
                continue
            assert member in declared, (name, member)
            if isinstance(value, property):
                assert any(s for _, s in declared[member]) == (value.fset is not None and value.fget is not None), \
                    (name, member)
            elif callable(value) and hasattr(value, "__signature__"):
                node = declared[member][0][0]
                ours = [a.arg for a in node.args.args + node.args.kwonlyargs]
                assert ours == list(inspect.signature(value).parameters), (name, member)
                checked += 1
    assert checked > 200
