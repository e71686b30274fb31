"""Bad input over every public callable of nuvra.core, run in a child process by test_bad_input.py.

Each row (function, enumeration, constructor, method or property setter, found by introspection) is called with
arguments that reach its body (VALID, else samples by its signature's annotations), then with each argument replaced
by every value of BAD, with none and with one too many. Each call is printed before it runs, so that a crash names it.
SystemError and UnicodeError are faults, also when the receiver's or result's properties are read back.
"""
import importlib
import inspect
import math
import os
import re
import resource
import sys

import numpy as np

from v2_models import conv_model, fpga_v2_device, layer

BAD = [None, -1, 2 ** 31, 2 ** 64, -2 ** 63, 1.5, math.nan, "", "x\0y", "\ud800", b"\xff", [], [None], {}, {"\ud800": 1},
       object(),
       np.zeros(()), np.zeros((3, 4), np.uint8)[:, ::2], np.zeros((0, 4), np.uint8), np.zeros((1,) * 5, np.uint8),
       np.ones((1, 4, 4, 3), np.float64), np.full((1, 4, 4, 3), -1, np.int8), np.ones((1, 4, 4, 3), np.uint16)]
FAULTS = (SystemError, UnicodeError)
DUNDERS = ("__init__", "__getitem__", "__setitem__", "__getattr__", "__eq__", "__copy__")

# Valid arguments of the rows whose other arguments must be right for a bad one to reach the body (fixtures,
# the mapped model).
VALID = {
    "Model.add": lambda fx, m: (fx["Layer"], [fx["Model"].get_layer("dense")]),
    "Model._map": lambda fx, m: (fx["Device"], False, fx["MapConstraints"]),
    "Layer.__init__": lambda fx, m: (fx["LayerParams"], "new"),
    "LayerParams.__init__": lambda fx, m: (fx["LayerParams"].layer_type, {"filters": 2, "kernel_size": 3}),
    "Variables.__setitem__": lambda fx, m: ("weights", np.zeros((3, 3, 8, 16), np.int8)),
    "NP.Mesh.__init__": lambda fx, m: (m.ip_version, fx["Ident"], fx["Ident"], [fx["Info"]], []),
}
SAMPLES = [("numpy.ndarray", np.zeros((1, 32, 32, 3), np.uint8)), ("bytes", bytes(16)), ("bool", False), ("int", 1),
           ("float", 1.0), ("str", "x"), ("Dict[", {})]


def fixtures(core):
    """One live object per class, made afresh for every row, since rows may change them."""
    NP = core.NP
    model, mapped, device = conv_model(core), conv_model(core), fpga_v2_device(core)
    mapped._map(device)
    ident, mapping = NP.Ident(1, 2, 0), mapped.get_layer("conv").mapping
    fx = dict(Model=model, Layer=layer(core, core.Conv2D, "free", filters=2, kernel_size=3),
              LayerParams=core.LayerParams(core.Conv2D, {"filters": 2, "kernel_size": 3}),
              Variables=model.get_layer("conv").variables, Optimizer=core.NuvraUnsupervised(10), Metrics=model.metrics,
              Device=device, HwVersion=core.HwVersion.FPGA_v2, Mesh=device.mesh, MapConstraints=core.MapConstraints(device),
              Ident=ident, Info=NP.Info(ident, [NP.CNP1]), NpSpace=NP.NpSpace(), MemoryInfo=NP.MemoryInfo(), Mapping=mapping,
              Sequence=mapped.sequences[0])
    for device in core.HardwareDevice.devices():  # the simulated boards of the test's environment
        fx.setdefault(type(device).__name__, device)
        if device.soc is not None:
            device.soc.power_measurement_enabled = True
            fx.update(SocDriver=device.soc, PowerMeter=device.soc.power_meter,
                      SpiFlashController=core.boardVlq7300.get_flash(device))
    # Objects reachable through the properties of those, e.g. a component of a mapping.
    for obj in list(fx.values()):
        for name, attr in vars(type(obj)).items():
            if isinstance(attr, property):
                try:
                    values = getattr(obj, name)
                except Exception:
                    continue
                for v in values if isinstance(values, list) else [values]:
                    if type(v).__module__.startswith("nuvra.core"):
                        fx.setdefault(type(v).__name__, v)
    return fx, mapped


def sample(annotation, fx, core):
    if annotation.startswith("List[") and annotation.endswith("]"):
        inner = sample(annotation[5:-1], fx, core)
        return [] if inner is None else [inner]
    cls = re.split(r"[.:]+", annotation)[-1]
    enum = getattr(core, cls, None) or getattr(core.NP, cls, None)
    if cls in fx or not hasattr(enum, "__members__"):
        return fx.get(cls, next((value for key, value in SAMPLES if annotation.startswith(key)), None))
    return next(iter(enum.__members__.values()))


def signature(doc):
    """The parameter annotations of the first overload in a pybind11 docstring, self excluded."""
    m = re.search(r"\w+\((.*?)\) ->", doc or "")
    params = [p.split(":", 1)[1].split("=")[0].strip() for p in re.split(r", (?=\w+:)", m.group(1)) if ":" in p] if m else []
    return params[1:] if m and m.group(1).startswith("self") else params


def public_callables(core):
    """(row name, kind, target, attribute) for every callable of the module and its submodules."""
    rows, seen = [], set()
    modules = [("", core)] + [(n + ".", getattr(core, n)) for n in dir(core) if inspect.ismodule(getattr(core, n))]
    classes = []
    for prefix, module in modules:
        for name in sorted(n for n in dir(module) if not n.startswith("_")):
            obj = getattr(module, name)
            if id(obj) in seen:
                continue
            seen.add(id(obj))
            if inspect.isclass(obj):
                classes += [(prefix + name, obj)] + [(f"{prefix}{name}.{n}", getattr(obj, n)) for n in dir(obj)
                                                     if not n.startswith("_") and inspect.isclass(getattr(obj, n))]
            elif callable(obj):
                rows.append((prefix + name, "function", obj, None))
    for path, cls in classes:
        if hasattr(cls, "__members__"):  # an enumeration, made from an int
            rows.append((path, "enum", cls, None))
            continue
        for name, attr in vars(cls).items():
            if isinstance(attr, property) and attr.fset is not None:
                rows.append((f"{path}.{name}=", "setter", cls, name))
            elif type(attr).__name__ == "instancemethod" and (not name.startswith("__") or name in DUNDERS):
                rows.append((f"{path}.{name}", "init" if name == "__init__" else "method", cls, name))
    return rows


def row_call(core, row, kind, target, attr, fx, mapped):
    """The callable of a row and its valid arguments; None when no receiver exists."""
    if kind == "enum":
        return target, (1,)
    receiver = fx.get(target.__name__) if kind in ("method", "setter") else target
    if receiver is None:
        return None, ()
    if kind == "setter":
        return (lambda value: setattr(receiver, attr, value)), (getattr(receiver, attr),)
    fn = target if kind in ("function", "init") else getattr(receiver, attr)
    doc = (target.__init__ if kind == "init" else fn).__doc__
    return fn, VALID[row](fx, mapped) if row in VALID else tuple(sample(a, fx, core) for a in signature(doc))


def call(line, fn, args, log):
    print(line, flush=True)
    try:
        result = fn(*args)
    except FAULTS as e:
        return log.append(f"{line}: {type(e).__name__}: {e}")
    except Exception:
        return
    for obj in (result, getattr(fn, "__self__", None)):  # poisoned state shows when it is read back
        for name, attr in vars(type(obj)).items() if type(obj).__module__.startswith("nuvra.core") else ():
            try:
                getattr(obj, name) if isinstance(attr, property) else None
            except FAULTS as e:
                log.append(f"{line}: reading {name}: {type(e).__name__}: {e}")
            except Exception:
                pass


def main():
    # Huge requests fail fast instead of swapping. The sanitizers' runtime reserves terabytes of address space
    # and cannot run under such a limit; there a request past the machine's memory fails at once all the same.
    if not os.environ.get("NUVRA_SANITIZED"):
        resource.setrlimit(resource.RLIMIT_AS, (6 << 30, 6 << 30))
    core = importlib.import_module("nuvra.core")
    rows = public_callables(core)
    print("ROWS " + " ".join(row[0] for row in rows), flush=True)
    log, calls = [], 0
    for row, kind, target, attr in rows:
        fx, mapped = fixtures(core)
        fn, args = row_call(core, row, kind, target, attr, fx, mapped)
        if fn is None:
            print(f"SKIP {row}: no object of its class among the fixtures", flush=True)
            continue
        variants = [("valid", args), ("no args", ()), ("extra arg", args + (None,))]
        variants += [(f"arg {i} = {' '.join(repr(bad).split()):.40}", args[:i] + (bad,) + args[i + 1:])
                     for i in range(len(args)) for bad in BAD]
        for what, a in variants:
            call(f"CALL {row} | {what}", fn, a, log)
            calls += 1
    for entry in log:
        print("FAULT " + entry)
    print(f"DONE {calls} calls", flush=True)
    sys.exit(1 if log else 0)


if __name__ == "__main__":
    os.chdir(sys.argv[1])
    main()
