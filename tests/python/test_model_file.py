import ctypes
import math
import os
import pathlib
import subprocess
import sys

import numpy as np
import pytest

from v2_models import conv_model, model_of

CORRUPTED = "Cannot uncompress corrupted serialization buffer"
STORED = pathlib.Path(__file__).parent / "data" / "learning_model.fbz"
SNAPPY = ctypes.CDLL("libsnappy.so.1")


def uncompress(data):
    """The content of `data` when it is exactly one raw snappy stream (nothing before or after), else None."""
    size = ctypes.c_size_t(64 * len(data))  # room for the largest expansion
    out = ctypes.create_string_buffer(size.value)
    return None if SNAPPY.snappy_uncompress(data, len(data), out, ctypes.byref(size)) else out.raw[:size.value]


@pytest.fixture(scope="module")
def saved(core, tmp_path_factory):
    """A saved model's file bytes, its engine bytes, and how many zero bytes may follow the stream: up to snappy's
    maximum compressed length, 32 + n + n / 6."""
    path = tmp_path_factory.mktemp("saved") / "model.fbz"
    model = conv_model(core)
    model.save(str(path))
    data, engine_bytes = path.read_bytes(), model.to_buffer()
    return data, engine_bytes, 32 + len(engine_bytes) + len(engine_bytes) // 6 - len(data)


def load(core, path, data):
    path.write_bytes(data)
    return core.Model(str(path))


def test_save_load_save_gives_equal_bytes(core, saved, tmp_path):
    data, engine_bytes, room = saved
    assert uncompress(data) == engine_bytes
    loaded = load(core, tmp_path / "a.fbz", data)
    assert loaded.to_buffer() == engine_bytes and [l.name for l in loaded.layers] == ["hrc", "conv", "dw", "dense"]
    loaded.save(model_file=str(tmp_path / "b.fbz"))
    assert (tmp_path / "b.fbz").read_bytes() == data
    assert core.Model(filename=os.fsencode(tmp_path / "b.fbz")).to_buffer() == engine_bytes
    for tail in (bytes(1), bytes(room)):
        assert load(core, tmp_path / "z.fbz", data + tail).to_buffer() == engine_bytes


def test_truncated_padded_and_corrupted_files_are_refused(core, saved, tmp_path):
    data, _, room = saved
    tails = (bytes(room + 1), b"\x01", bytes(8) + b"\x07")  # too many zero bytes, or anything else after the stream
    broken = [data[:n] for n in range(1, len(data))] + [data + t for t in tails]
    broken += [b"\xff\xff\xff\xff\x0f",  # announces 4 GiB in five bytes
               b"\x80\x80\x80\x80\x80\x01", b"\x80",  # a varint longer than five bytes, an unfinished one
               b"\x10\x3c" + b"abcd", b"\x08\x01\x01"]  # a literal running past the end, a copy before any output
    for content in broken:
        assert str(pytest.raises(ValueError, load, core, tmp_path / "bad.fbz", content).value) == CORRUPTED
    refused = 0
    for position in range(0, len(data), 3):
        flipped = bytearray(data)
        flipped[position] ^= 0xA5
        try:
            load(core, tmp_path / "bad.fbz", bytes(flipped))
        except ValueError as e:  # ours, or the engine's refusal of the bytes
            assert str(e) == CORRUPTED or str(e).startswith("Invalid model buffer"), str(e)
            refused += 1
    assert refused > 0


def test_files_that_are_missing_empty_or_too_large(core, tmp_path):
    (tmp_path / "empty.fbz").write_bytes(b"")
    for path, message in [("missing.fbz", "^File not found.$"), ("empty.fbz", "^File is empty.$"),
                          (".", "not a regular file")]:
        pytest.raises(RuntimeError, core.Model, str(tmp_path / path)).match(message)
    for size in (2**31, 2**32 + 3):  # negative, or a few bytes, as a 32-bit count
        with open(tmp_path / "huge.fbz", "wb") as f:
            f.truncate(size)  # sparse: nothing is written
        pytest.raises(RuntimeError, core.Model, str(tmp_path / "huge.fbz")).match(f"too large: {size} bytes")


def test_failed_saves_leave_what_exists(core, tmp_path):
    (tmp_path / "dir").mkdir()
    (tmp_path / "dir" / "inside").write_bytes(b"keep")
    for path in (tmp_path / "nowhere" / "model.fbz", tmp_path / "dir"):
        error = pytest.raises(ValueError, core.Model().save, str(path)).value
        assert str(error) == f"Unable to open file for saving model: {path}"
    assert (tmp_path / "dir" / "inside").read_bytes() == b"keep" and os.listdir(tmp_path) == ["dir"]


def test_a_failed_write_keeps_the_old_file(tmp_path):
    # A file size limit makes the write fail as a full disk would, for root too.
    path = tmp_path / "model.fbz"
    path.write_bytes(b"old content")
    script = ("import resource, signal, nuvra.core as core; signal.signal(signal.SIGXFSZ, signal.SIG_IGN); "
              f"resource.setrlimit(resource.RLIMIT_FSIZE, (4, -1)); core.Model().save({str(path)!r})")
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert f"RuntimeError: Unable to write model file {path}: " in result.stderr
    assert path.read_bytes() == b"old content" and os.listdir(tmp_path) == ["model.fbz"]


def test_save_replaces_a_file_whole(core, saved, tmp_path):
    path = tmp_path / "model.fbz"
    path.write_bytes(b"\x01" * (len(saved[0]) * 2))
    os.chmod(path, 0o640)
    core.Model().save(str(path))
    assert uncompress(path.read_bytes()) == core.Model().to_buffer()
    assert os.stat(path).st_mode & 0o777 == 0o640 and os.listdir(tmp_path) == ["model.fbz"]


def test_save_through_a_link_replaces_its_target(core, saved, tmp_path):
    (tmp_path / "sub").mkdir()
    target, link = tmp_path / "sub" / "model.fbz", tmp_path / "link.fbz"
    target.write_bytes(b"old content")
    link.symlink_to("sub/model.fbz")
    conv_model(core).save(str(link))
    assert link.is_symlink() and os.readlink(link) == "sub/model.fbz" and target.read_bytes() == saved[0]
    assert core.Model(str(link)).to_buffer() == core.Model(str(target)).to_buffer() == saved[1]
    assert os.listdir(tmp_path / "sub") == ["model.fbz"]


def test_a_model_saved_in_the_middle_of_learning_learns_on_as_if_it_never_was(core, rng, tmp_path):
    weights = np.zeros((1, 1, 16, 4), np.int8)
    for neuron in range(4):
        weights[0, 0, rng.permutation(16)[:8], neuron] = 1
    x = (rng.random((40, 16)) < 0.4).astype(np.uint8)
    labels = rng.integers(0, 2, 40)

    def fresh():
        model = model_of(core, (core.InputData, "input", dict(input_width=16, input_height=1, input_channels=1,
                                                              input_bits=1)),
                         (core.FullyConnected, "fc", dict(units=4, activation=0)))
        model.get_layer("fc").variables["weights"] = weights
        model.compile(core.NuvraUnsupervised(num_weights=8, num_classes=2, initial_plasticity=1, min_plasticity=0,
                                             plasticity_decay=0.5))
        return model

    whole, half = fresh(), fresh()
    whole.fit(x, labels)
    half.fit(x[:20], labels[:20])
    half.save(str(tmp_path / "half.fbz"))
    loaded = core.Model(str(tmp_path / "half.fbz"))
    loaded.fit(x[20:], labels[20:])
    assert loaded.to_buffer() == whole.to_buffer()
    # The same weights under a fresh compile start again from initial_plasticity, and learn otherwise.
    restarted = core.Model(half.layers)
    restarted.fit(x[20:], labels[20:])
    assert (restarted.get_layer("fc").variables["weights"] != whole.get_layer("fc").variables["weights"]).any()


def learning_model(core):
    """The model of the stored file: 6 samples learnt of 12, with a learning parameter of -0.0."""
    rng = np.random.default_rng(38)
    weights = np.zeros((1, 1, 16, 4), np.int8)
    for neuron in range(4):
        weights[0, 0, rng.permutation(16)[:8], neuron] = 1
    model = model_of(core, (core.InputData, "input", dict(input_width=16, input_height=1, input_channels=1,
                                                          input_bits=1)),
                     (core.FullyConnected, "fc", dict(units=4, activation=0)))
    model.get_layer("fc").variables["weights"] = weights
    model.compile(core.NuvraUnsupervised(num_weights=8, num_classes=2, initial_plasticity=1, min_plasticity=-0.0,
                                         plasticity_decay=0.5))
    x, labels = (rng.random((12, 16)) < 0.4).astype(np.uint8), rng.integers(0, 2, 12)
    model.fit(x[:6], labels[:6])
    return model, x[6:], labels[6:]


def test_a_stored_file_keeps_every_field(core, tmp_path):
    # Files written before stay readable as they are: the format itself is pinned, not only a round trip.
    data = STORED.read_bytes()
    stored, (made, x, labels) = core.Model(str(STORED)), learning_model(core)
    assert stored.to_buffer() == uncompress(data) == made.to_buffer()  # every field written, defaults too
    learning = stored.learning
    assert (learning.num_weights, learning.num_classes, learning.initial_plasticity, learning.plasticity_decay) == (
        8, 2, 1, 0.5) and math.copysign(1, learning.min_plasticity) == -1
    fc = stored.get_layer("fc")
    assert [lay.name for lay in stored.layers] == ["input", "fc"] and (fc.variables["weights"] != 0).sum(axis=2).tolist() \
        == [[[8, 8, 8, 8]]]
    np.testing.assert_array_equal(fc.variables["weights"], made.get_layer("fc").variables["weights"])
    stored.save(str(tmp_path / "again.fbz"))
    assert uncompress((tmp_path / "again.fbz").read_bytes()) == uncompress(data)
    # It holds the learning progress: the rest of the samples learn as if the model had never been saved.
    stored.fit(x, labels)
    made.fit(x, labels)
    assert stored.to_buffer() == made.to_buffer()
