import ctypes
import operator
import pickle
import signal
import time

import numpy as np
import pytest

LAYER_TYPES = ("Unknown InputData InputConvolutional FullyConnected Convolutional SeparableConvolutional Add Dense2D "
               "Shiftmax Attention Stem MadNorm Concatenate BatchNormalization Conv2D InputConv2D DepthwiseConv2D "
               "Conv2DTranspose ExtractToken Dequantizer DepthwiseConv2DTranspose BufferTempConv "
               "DepthwiseBufferTempConv StatefulRecurrentLegacy VitEncoderBlock Dense1D").split()
CNP, TNP = "Convolutional Neural Processor Type ", "Temporal Neural Processor "
FNP = "FullyConnected Neural Processor ("
NP_TYPES = [("HRC", 1, "High Resolution Convolution"), ("CNP1", 2, CNP + "1"), ("CNP2", 3, CNP + "2"),
            ("FNP2", 4, FNP + "external memory)"), ("FNP3", 5, FNP + "internal memory)"),
            ("VIT_BLOCK", 6, "Vision Transformer Block"), ("TNP_B", 8, TNP + "Buffered"),
            ("TNP_R", 9, TNP + "Recurrent"), ("SKIP_DMA_STORE", 7, "Skip DMA store engine"),
            ("SKIP_DMA_LOAD", 10, "Skip DMA load engine")]
WRONG_TYPE = "Wrong py::array type: cannot evaluate the bitwidth."


def enumerations(core):
    """(scope the values are exported to, enumeration, docstring start, [(member, value[, member docstring])])"""
    return [
        (core, core.BackendType, "Members:", [("Software", 0), ("Hardware", 1), ("Hybrid", 2)]),
        (core.soc, core.soc.ClockMode, "Clock mode configuration\n",
         [("Performance", 300000000), ("Economy", 100000000), ("LowPower", 5000000)]),
        (core, core.IpVersion, "The reference Nuvra IP version\n", [("none", 0), ("v1", 1), ("v2", 2)]),
        (core, core.LayerType, "The layer type\n", [(n, v) for v, n in enumerate(LAYER_TYPES)]),
        (core, core.Padding, "Sets the effective padding of the input for convolution, thereby determining the output "
                             "dimensions. Naming conventions are the same as Keras/Tensorflow.\n",
         [("Valid", 0, "No padding"), ("Same", 1, "Padded so that output size is input size divided by the stride")]),
        (core, core.PoolType, "The pooling type\n", [("NoPooling", 0, "No pooling applied"),
                                                     ("Max", 1, "Maximum pixel value is selected"),
                                                     ("Average", 2, "Average pixel value is selected")]),
        (core, core.ActivationType, "The activation type\n",
         [("NoActivation", 0, "No activation is applied"), ("ReLU", 1, "ReLU activation is selected"),
          ("LUT", 2, "LUT activation is selected")]),
        (core.NP, core.NP.Type, "Harwdare Component type\n", NP_TYPES),
    ]


def test_module_attributes_and_registration_order(core):
    assert (core.__doc__, core.__version__, core.soc.__doc__) == ("Nuvra core library", "2.0.0",
                                                                  "Nuvra Qrix specific functions")
    order = ["BackendType", "Model", "Layer", "LayerType", "LayerParams", "Optimizer", "Variables", "evaluate_bitwidth",
             "Metrics", "Device", "HwVersion", "NP", "MapConstraints", "ProgramParts", "soc", "nn", "IpVersion", "v2"]
    assert [n for n in vars(core) if n in order] == order


def test_enumerations_are_exported_strict_and_hold_any_int32(core):
    for scope, enum, doc, members in enumerations(core):
        assert list(enum.__members__) == [m[0] for m in members] and enum.__doc__.startswith(doc)
        for name, value, *member_doc in members:
            member = getattr(enum, name)
            assert member.value == int(member) == value and enum(value) == member and getattr(scope, name) is member
            assert not member_doc or f"\n  {name} : {member_doc[0]}" in enum.__doc__
        first, value = getattr(enum, members[0][0]), members[0][1]
        assert (first == value) is False and first != value and hash(first) == hash(enum(value))
        for op in (operator.lt, operator.or_, operator.add):
            pytest.raises(TypeError, op, first, first)
        for value in (-2**31, 2**31 - 1):
            assert enum(value).value == value and pickle.loads(pickle.dumps(enum(value))) == enum(value)
        for value in (2**31, -2**31 - 1, 1.0, None):
            pytest.raises(TypeError, enum, value)
    assert core.IpVersion.v1 != core.BackendType.Hardware and core.PoolType.Max != core.ActivationType.ReLU


@pytest.mark.parametrize("array, expected", [
    (np.array([1e30, -5.5, np.nan], dtype=np.float32), 0),  # float32 returns before any conversion
    (np.array([0, 255], dtype=np.uint8), 8),
    (np.array([[-1, 0]], dtype=np.int8), 1),
    (np.array([300], dtype=np.int16), 10),
    (np.full((1, 1, 1, 2), -70000, dtype=np.int32), 18),
    (np.array([1.0]), (RuntimeError, WRONG_TYPE)),
])
def test_evaluate_bitwidth(core, array, expected):
    if isinstance(expected, int):
        assert core.evaluate_bitwidth(variable=array) == expected
        return
    assert str(pytest.raises(expected[0], core.evaluate_bitwidth, array).value) == expected[1]


def test_host_hooks_are_exported_under_plain_names(core):
    library = ctypes.CDLL(core.__file__)
    library.time_ms.restype = ctypes.c_int64
    times = [library.time_ms() for _ in range(100)]
    assert all(hasattr(library, name) for name in ("panic", "msleep", "kick_watchdog")) and times == sorted(times)


@pytest.mark.parametrize("ms, interrupted", [(0, False), (120, False), (250, True)])
def test_msleep_sleeps_its_milliseconds_through_interruptions(core, ms, interrupted):
    msleep = ctypes.CDLL(core.__file__).msleep
    msleep.argtypes = [ctypes.c_uint32]
    signals = []
    previous = signal.signal(signal.SIGALRM, lambda *_: signals.append(1))
    if interrupted:  # every 20 ms: the sleep resumes for what is left
        signal.setitimer(signal.ITIMER_REAL, 0.02, 0.02)
    try:
        start = time.monotonic()
        msleep(ms)
        slept = time.monotonic() - start
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert ms / 1000 <= slept < ms / 1000 + 0.5 and bool(signals) == interrupted
