"""Bad input over every public callable of nuvra.core, run in a child process by test_bad_input.py.

Each row is a callable with arguments that reach its body; the sweep calls it once as is, then with
each argument in turn replaced by every value of BAD, then with no argument and with one too many.
Rows come from the callables' signatures (sample values by annotation, receivers from the fixtures);
VALID gives the arguments of the rows that need particular ones. A line naming each call is printed
and flushed before the call, so that a crash names its call. A call may return or raise an Exception;
SystemError and UnicodeError (text that does not decode) are faults, and so is either of them when the
properties of the receiver or of the result are read back.
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

BAD = [None, -1, 2 ** 31, 2 ** 64, -2 ** 63, 1.5, math.nan, "", "x\0y", b"\xff", [], [None], {}, object(),
       np.zeros(()), np.zeros((3, 4), np.uint8)[:, ::2], np.zeros((0, 4), np.uint8), np.zeros((1,) * 5, np.uint8),
       np.ones((1, 4, 4, 3), np.float64), np.full((1, 4, 4, 3), -1, np.int8), np.ones((1, 4, 4, 3), np.uint16)]

FAULTS = (SystemError, UnicodeError)


def fixtures(core):
    """One live object per class, made afresh for every row: rows may change them."""
    NP = core.NP
    model, mapped, device = conv_model(core), conv_model(core), fpga_v2_device(core)
    mapped._map(device)
    sequence = mapped.sequences[0]
    ident = NP.Ident(1, 2, 0)
    fx = dict(Model=model, Layer=layer(core, core.Conv2D, "free", filters=2, kernel_size=3),
              LayerParams=core.LayerParams(core.Conv2D, {"filters": 2, "kernel_size": 3}),
              Variables=model.get_layer("conv").variables, Optimizer=core.NuvraUnsupervised(10),
              Metrics=model.metrics, Device=device, HwVersion=core.HwVersion.FPGA_v2, Mesh=device.mesh,
              MapConstraints=core.MapConstraints(device), Sequence=sequence, Pass=sequence.passes[0],
              ProgramParts=sequence.program_parts, Ident=ident, Info=NP.Info(ident, [NP.CNP1]),
              NpSpace=NP.NpSpace(), MemoryInfo=NP.MemoryInfo(), Mapping=mapped.get_layer("conv").mapping,
              Component=mapped.get_layer("conv").mapping.nps[0])
    if hasattr(core, "HardwareDevice") and core.HardwareDevice.devices:
        fx["HardwareDevice"] = core.HardwareDevice.devices[0]
    return fx, mapped


# Arguments of rows that need particular values (the receiver is added by the sweep).
VALID = {
    "Model.__init__": lambda fx, m: ("saved.fbz",),
    "Model.add": lambda fx, m: (fx["Layer"], [fx["Model"].get_layer("dense")]),
    "Model._map": lambda fx, m: (fx["Device"], False, fx["MapConstraints"]),
    "Model.get_layer": lambda fx, m: ("conv",),
    "LayerParams.get": lambda fx, m: ("kernel_size",),
    "LayerParams.__getattr__": lambda fx, m: ("kernel_size",),
    "Optimizer.get": lambda fx, m: ("num_weights",),
    "Optimizer.__getattr__": lambda fx, m: ("num_weights",),
    "Model.compile": lambda fx, m: (fx["Optimizer"],),
    "Layer.__init__": lambda fx, m: (fx["LayerParams"], "new"),
    "LayerParams.__init__": lambda fx, m: (fx["LayerParams"].layer_type, {"filters": 2, "kernel_size": 3}),
    "Variables.__getitem__": lambda fx, m: ("weights",),
    "Variables.__setitem__": lambda fx, m: ("weights", np.zeros((3, 3, 8, 16), np.int8)),
    "Metrics.__getitem__": lambda fx, m: ("inference_clk",),
    "NP.Mesh.__init__": lambda fx, m: (m.ip_version, fx["Ident"], fx["Ident"], [fx["Info"]], []),
    "get_program_memory_infos": lambda fx, m: (m.sequences[0].program,),
}

SAMPLES = [("numpy.ndarray", lambda fx: np.zeros((1, 32, 32, 3), np.uint8)), ("bytes", lambda fx: bytes(16)),
           ("bool", lambda fx: False), ("int", lambda fx: 1), ("float", lambda fx: 1.0), ("str", lambda fx: "x"),
           ("Dict[", lambda fx: {}), ("Iterable", lambda fx: [])]


def sample(annotation, fx, core):
    if annotation.startswith("List[") and annotation.endswith("]"):
        inner = sample(annotation[5:-1], fx, core)
        return [] if inner is None else [inner]
    cls = re.split(r"[.:]+", annotation)[-1]
    if cls in fx:
        return fx[cls]
    enum = getattr(core, cls, None) or getattr(core.NP, cls, None)
    if hasattr(enum, "__members__"):
        return next(iter(enum.__members__.values()))
    return next((make(fx) for key, make in SAMPLES if annotation.startswith(key)), None)


def signature(doc):
    """The parameter annotations of the first overload in a pybind11 docstring, self excluded."""
    m = re.search(r"\w+\((.*?)\) ->", doc or "")
    if not m:
        return []
    params = [p.split(":", 1)[1].split("=")[0].strip() for p in re.split(r", (?=\w+:)", m.group(1)) if ":" in p]
    return params[1:] if m.group(1).startswith("self") else params


def public_callables(core):
    """(row name, how to reach it) for every function, constructor, method and settable property."""
    modules = [("", core)] + [(n + ".", getattr(core, n)) for n in dir(core) if inspect.ismodule(getattr(core, n))]
    rows = []
    seen = set()
    for prefix, module in modules:
        for name in sorted(dir(module)):
            obj = getattr(module, name)
            if name.startswith("_") or id(obj) in seen:
                continue
            seen.add(id(obj))
            if inspect.isclass(obj):
                classes = [(prefix + name, obj)] + [(f"{prefix}{name}.{n}", getattr(obj, n)) for n in dir(obj)
                                                     if inspect.isclass(getattr(obj, n)) and not n.startswith("_")]
                for path, cls in classes:
                    rows += class_rows(path, cls)
            elif callable(obj):
                rows.append((prefix + name, ("function", obj)))
    return rows


def class_rows(path, cls):
    if hasattr(cls, "__members__"):  # an enumeration: made from an int
        return [(path, ("enum", cls))]
    rows = []
    if "No constructor defined" not in (cls.__init__.__doc__ or "") and type(cls.__init__).__name__ == "instancemethod":
        rows.append((path + ".__init__", ("init", cls)))
    for name, attr in vars(cls).items():
        if isinstance(attr, property):
            if attr.fset is not None:
                rows.append((f"{path}.{name}=", ("setter", cls, name)))
        elif type(attr).__name__ == "instancemethod" and (not name.startswith("__") or name in (
                "__getitem__", "__setitem__", "__getattr__", "__eq__", "__copy__")):
            rows.append((f"{path}.{name}", ("method", cls, name)))
    return rows


def row_call(core, row, how, fx, mapped):
    """The callable of a row and its valid arguments."""
    kind, target = how[0], how[1]
    receiver = fx.get(target.__name__) if kind in ("method", "setter") else None
    if kind in ("method", "setter") and receiver is None:
        return None, ()
    if kind == "enum":
        return target, (1,)
    if kind == "setter":
        return (lambda value: setattr(receiver, how[2], value)), (getattr(receiver, how[2]),)
    fn = {"function": target, "init": target}.get(kind) or getattr(receiver, how[2])
    doc = (target.__init__ if kind == "init" else fn).__doc__
    args = VALID[row](fx, mapped) if row in VALID else tuple(sample(a, fx, core) for a in signature(doc))
    return fn, args


def call(line, fn, args, log):
    print(line, flush=True)
    try:
        result = fn(*args)
    except FAULTS as e:
        log.append(f"{line}: {type(e).__name__}: {e}")
        return
    except Exception as e:
        if os.environ.get("SWEEP_VERBOSE") and line.endswith("| valid"):
            print(f"  raised {type(e).__name__}: {e}")
        return
    for obj in (result, getattr(fn, "__self__", None)):
        read_back(obj, line, log)


def read_back(obj, line, log):
    """Reads every property of a result or receiver: poisoned state shows as a fault here."""
    if obj is None or type(obj).__module__ not in ("nuvra.core", "nuvra.core.NP"):
        return
    for name, attr in vars(type(obj)).items():
        if isinstance(attr, property):
            try:
                getattr(obj, name)
            except FAULTS as e:
                log.append(f"{line}: reading {name}: {type(e).__name__}: {e}")
            except Exception:
                pass


def main():
    resource.setrlimit(resource.RLIMIT_AS, (6 << 30, 6 << 30))  # huge requests fail fast instead of swapping
    core = importlib.import_module("nuvra.core")
    conv_model(core).save("saved.fbz")
    rows = public_callables(core)
    print("ROWS " + " ".join(name for name, _ in rows), flush=True)
    log, calls = [], 0
    for row, how in rows:
        fx, mapped = fixtures(core)
        fn, args = row_call(core, row, how, fx, mapped)
        if fn is None:
            print(f"SKIP {row}: no receiver", flush=True)
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
