"""Random graphs of skip connections and merges over the second generation's layer kinds, mapped on
small meshes and on the fpga_v2 board, with and without looping passes: without hw_only no map
raises, every mapped program pairs its skip-DMA loads and stores, and with hw_only a refusal is a
rule's, never an internal text, and names a layer of the graph unless README.md lists it as naming
none."""
import collections
import random
import re

import pytest

from program_reader import skipdma_faults
from v2_models import fill_variables, fpga_v2_device, layer

INTERNAL = ("cannot fit in register word", "Error generating NP program", "has no layer mapping", "P2P OUT", "P2P IN",
            "not yet implemented", "Can't retrieve", "Model can not be mapped", "loads without a store",
            "no merge record", "Layer not found")
# The refusals README.md lists as naming no layer.
NAMING_NONE = ("Bad mapping on skip connection. No valid merge layer.", "Bad mapping on skip connection. Several branches.",
               "TNP-B cannot be the first layer layer of a pass.")
# "Error when mapping layer 'x': ...", "x : not enough NPs available. ..." and "x -> y: could not find a compatible
# sequence" name their layers.
NAMING = re.compile(r"^Error when mapping layer '(?P<a>[^']*)': |^(?P<b>\S+) : not enough NPs available\. |"
                    r"^(?P<c>\S+) -> (?P<d>\S+): could not find a compatible sequence$")
KINDS = ("conv", "depthwise", "add", "concatenate", "depthwise_fifo", "fifo", "dense")


def random_rows(r, n):
    """(type name, layer name, inbound names, params) rows after an 8x8x8 input "in"; a tidy graph leaves few
    layers unread and merges more often."""
    tidy = r.random() < 0.5
    weights = (30, 15, 30, 15, 6, 4, 2) if tidy else (30, 15, 20, 10, 6, 4, 3)
    shapes, readers, rows = {"in": (8, 8, 8)}, collections.Counter(), []
    for i in range(n):
        name, spatial = f"l{i}", [k for k, v in shapes.items() if v]
        unread = [k for k in spatial if readers[k] == 0]

        def pick():
            pool = unread if unread and r.random() < (0.9 if tidy else 0.6) else spatial
            return r.choice(pool[-4:] if r.random() < 0.5 else pool)
        kind = r.choices(KINDS, weights)[0]
        if kind in ("add", "concatenate"):
            a = pick()
            same = [k for k in spatial if k != a and (shapes[k] == shapes[a] if kind == "add" else shapes[k][:2] == shapes[a][:2])]
            if kind == "add" and r.random() < 0.02:
                rows.append(("Add", name, [a, a], {}))  # one layer read twice
                shape = shapes[a]
            elif same:
                b = r.choice(same)
                inbounds = [a, b] if r.random() < 0.5 else [b, a]
                more = [k for k in same if k not in inbounds]
                if kind == "concatenate" and more and r.random() < 0.05:
                    inbounds.append(r.choice(more))
                rows.append(("Add" if kind == "add" else "Concatenate", name, inbounds, {}))
                shape = shapes[a] if kind == "add" else (8, 8, sum(shapes[k][2] for k in inbounds))
            else:
                kind = "conv"
        if kind == "dense":
            rows.append(("Dense1D", name, [r.choice(list(shapes)[-3:])], dict(units=8)))
            shape = None
        elif kind == "conv":
            rows.append(("Conv2D", name, [pick()], dict(filters=8, kernel_size=r.choice((1, 1, 3)))))
            shape = (8, 8, 8)
        elif kind in ("depthwise", "depthwise_fifo"):
            source = pick()
            params = dict(kernel_size=3) if kind == "depthwise" else dict(fifo_size=r.choice((2, 3)))
            rows.append(("DepthwiseConv2D" if kind == "depthwise" else "DepthwiseBufferTempConv", name, [source], params))
            shape = shapes[source]
        elif kind == "fifo":
            rows.append(("BufferTempConv", name, [pick()], dict(filters=8, fifo_size=r.choice((2, 3)))))
            shape = (8, 8, 8)
        readers.update(set(rows[-1][2]))
        shapes[name] = shape
    return rows


def model_of(core, rows):
    model = core.Model()
    model.add(layer(core, core.InputData, "in", input_width=8, input_height=8, input_channels=8))
    for type_name, name, inbounds, params in rows:
        model.add(layer(core, getattr(core, type_name), name, **params), [model.get_layer(n) for n in inbounds])
    return fill_variables(model)


def small_mesh(core, nps, skip_dmas):
    NP = core.NP
    infos = [NP.Info(NP.Ident(2 + i // 4, 1, i % 4), [NP.CNP1, NP.CNP2, NP.FNP3, NP.TNP_B]) for i in range(nps)]
    dmas = [NP.Info(NP.Ident(1, 1, 3, 4), [NP.SKIP_DMA_STORE, NP.SKIP_DMA_LOAD])][:skip_dmas]
    return core.Device(core.HwVersion.FPGA_v2, NP.Mesh(core.IpVersion.v2, NP.Ident(1, 1, 0), NP.Ident(1, 1, 1), infos, dmas))


DEVICES = (lambda core: fpga_v2_device(core), lambda core: small_mesh(core, 2, 1), lambda core: small_mesh(core, 3, 1),
           lambda core: small_mesh(core, 5, 1), lambda core: small_mesh(core, 2, 0))


@pytest.mark.parametrize("seed", range(4))
def test_random_skip_graphs_map_or_are_refused_by_a_rule(core, seed):
    outcomes = collections.Counter()
    for g in range(75):
        r = random.Random(seed * 1000 + g)
        rows = random_rows(r, r.randint(3, 12))
        make_device, loop = r.choice(DEVICES), r.random() < 0.5
        for hw_only in (False, True):
            model, device = model_of(core, rows), make_device(core)
            constraints = core.MapConstraints(device)
            constraints.hwpr_loopitself = loop
            graph = f"{rows} on mesh {DEVICES.index(make_device)}, loop {loop}, hw_only {hw_only}"
            names = {"in"} | {row[1] for row in rows}
            try:
                model._map(device, hw_only=hw_only, constraints=constraints)
            except RuntimeError as error:
                assert hw_only, f"{error} for {graph}"
                assert not any(text in str(error) for text in INTERNAL), f"{error} for {graph}"
                named = NAMING.match(str(error))
                assert str(error) in NAMING_NONE or (named and {n for n in named.groups() if n} <= names), \
                    f"{error} names no layer of {graph}"
                outcomes["refused"] += 1
                continue
            hardware = [s for s in model.sequences if s.backend == core.BackendType.Hardware]
            assert [skipdma_faults(s.program) for s in hardware] == [[]] * len(hardware), graph
            outcomes["mapped on the board" if len(hardware) == len(model.sequences) else "mapped in part"] += 1
    # The graphs reach every outcome: the board takes some whole, some in part, and refuses some.
    assert len(outcomes) == 3, outcomes
