import os
import stat
import subprocess
import sys
import textwrap

import pytest

from v2_models import conv_model

CORRUPTED = "Cannot uncompress corrupted serialization buffer"


def snappy_decode(data):
    """A plain decoder of the snappy raw format: returns the content and where the stream ends."""
    n = shift = pos = 0
    while True:
        byte = data[pos]
        pos += 1
        n |= (byte & 0x7F) << shift
        shift += 7
        if byte < 0x80:
            break
    out = bytearray()
    while len(out) < n:
        tag = data[pos]
        pos += 1
        kind = tag & 3
        if kind == 0:
            length = tag >> 2
            if length >= 60:
                extra = length - 59
                length = int.from_bytes(data[pos:pos + extra], "little")
                pos += extra
            length += 1
            out += data[pos:pos + length]
            pos += length
            continue
        if kind == 1:
            length, offset = 4 + ((tag >> 2) & 7), ((tag >> 5) << 8) | data[pos]
            pos += 1
        else:
            width = 2 if kind == 2 else 4
            length, offset = (tag >> 2) + 1, int.from_bytes(data[pos:pos + width], "little")
            pos += width
        assert 0 < offset <= len(out)
        for _ in range(length):  # copies may overlap their own output
            out.append(out[-offset])
    assert len(out) == n
    return bytes(out), pos


def max_compressed_length(n):
    return 32 + n + n // 6


@pytest.fixture(scope="module")
def saved(core, tmp_path_factory):
    """A saved model, its file's bytes and its engine bytes."""
    model = conv_model(core)
    path = tmp_path_factory.mktemp("saved") / "model.fbz"
    model.save(str(path))
    return model, path.read_bytes(), model.to_buffer()


def write(path, data):
    path.write_bytes(data)
    return str(path)


def test_file_is_one_raw_snappy_stream_of_the_engine_bytes(saved):
    _, data, engine_bytes = saved
    content, end = snappy_decode(data)
    assert content == engine_bytes
    assert end == len(data)  # nothing before or after the stream


def test_save_load_save_gives_equal_bytes(core, saved, tmp_path):
    model, data, engine_bytes = saved
    loaded = core.Model(write(tmp_path / "a.fbz", data))
    assert loaded.to_buffer() == engine_bytes
    assert [l.name for l in loaded.layers] == [l.name for l in model.layers]
    loaded.save(model_file=str(tmp_path / "b.fbz"))
    assert (tmp_path / "b.fbz").read_bytes() == data
    assert core.Model(filename=os.fsencode(tmp_path / "b.fbz")).to_buffer() == engine_bytes


def test_trailing_zero_bytes_are_accepted_up_to_the_maximum(core, saved, tmp_path):
    _, data, engine_bytes = saved
    limit = max_compressed_length(len(engine_bytes))
    for extra in (1, limit - len(data)):
        assert core.Model(write(tmp_path / "z.fbz", data + bytes(extra))).to_buffer() == engine_bytes
    for tail in (bytes(limit - len(data) + 1), b"\x01", bytes(8) + b"\x07"):
        with pytest.raises(ValueError) as info:
            core.Model(write(tmp_path / "t.fbz", data + tail))
        assert str(info.value) == CORRUPTED


def test_every_truncation_is_refused(core, saved, tmp_path):
    _, data, _ = saved
    path = tmp_path / "cut.fbz"
    for length in range(1, len(data)):
        with pytest.raises(ValueError) as info:
            core.Model(write(path, data[:length]))
        assert str(info.value) == CORRUPTED, length


def test_corrupted_bytes_load_or_are_refused_cleanly(core, saved, tmp_path):
    _, data, _ = saved
    path = tmp_path / "bad.fbz"
    refused = 0
    for position in range(0, len(data), 3):
        broken = bytearray(data)
        broken[position] ^= 0xA5
        try:
            core.Model(write(path, bytes(broken)))
        except ValueError as e:  # ours, or the engine's refusal of the bytes
            assert str(e) == CORRUPTED or str(e).startswith("Invalid model buffer"), str(e)
            refused += 1
    assert refused > 0


@pytest.mark.parametrize("data", [
    b"\xff\xff\xff\xff\x0f",  # announces 4 GiB in five bytes
    b"\xff\xff\xff\xff\x0f" + bytes(60),
    b"\x80\x80\x80\x80\x80\x01",  # a varint longer than five bytes
    b"\x80",  # an unfinished varint
    b"\x10\x3c" + b"abcd",  # a literal running past the end
    b"\x08\x01\x01",  # a copy before any output
])
def test_bad_streams_are_refused_without_large_allocations(core, tmp_path, data):
    with pytest.raises(ValueError) as info:
        core.Model(write(tmp_path / "x.fbz", data))
    assert str(info.value) == CORRUPTED


def test_an_empty_stream_reaches_the_engine(core, tmp_path):
    with pytest.raises(ValueError) as info:
        core.Model(write(tmp_path / "zero.fbz", b"\x00"))
    assert str(info.value).startswith("Invalid model buffer")


@pytest.mark.parametrize("make, error, message", [
    (lambda p: str(p / "missing.fbz"), RuntimeError, "File not found."),
    (lambda p: write(p / "empty.fbz", b""), RuntimeError, "File is empty."),
])
def test_missing_and_empty_files(core, tmp_path, make, error, message):
    with pytest.raises(error) as info:
        core.Model(make(tmp_path))
    assert str(info.value) == message


def test_a_directory_is_not_a_model_file(core, tmp_path):
    with pytest.raises(RuntimeError, match="not a regular file"):
        core.Model(str(tmp_path))


@pytest.mark.parametrize("size", [2**31, 2**32 + 3])
def test_files_over_2_gib_are_refused_before_reading(core, tmp_path, size):
    path = tmp_path / "huge.fbz"
    with open(path, "wb") as f:
        f.truncate(size)  # sparse: nothing is written
    with pytest.raises(RuntimeError) as info:
        core.Model(str(path))
    assert "too large" in str(info.value) and str(size) in str(info.value)


def test_save_into_a_missing_directory(core, tmp_path):
    path = str(tmp_path / "nowhere" / "model.fbz")
    with pytest.raises(ValueError) as info:
        core.Model().save(path)
    assert str(info.value) == "Unable to open file for saving model: " + path


@pytest.mark.parametrize("target", ["directory", "proc", "under a file"])
def test_save_refusals_leave_what_exists(core, tmp_path, target):
    (tmp_path / "dir").mkdir()
    (tmp_path / "dir" / "inside").write_bytes(b"keep")
    (tmp_path / "file").write_bytes(b"keep")
    path = {"directory": str(tmp_path / "dir"), "proc": "/proc/model.fbz",
            "under a file": str(tmp_path / "file" / "model.fbz")}[target]
    with pytest.raises(ValueError, match="^Unable to open file for saving model: "):
        core.Model().save(path)
    assert (tmp_path / "dir" / "inside").read_bytes() == b"keep"
    assert (tmp_path / "file").read_bytes() == b"keep"
    assert sorted(os.listdir(tmp_path)) == ["dir", "file"]


@pytest.mark.skipif(os.geteuid() == 0, reason="permissions do not bind root")
def test_failed_save_into_a_read_only_directory_keeps_the_old_file(core, saved, tmp_path):
    _, data, _ = saved
    path = tmp_path / "model.fbz"
    path.write_bytes(data)
    os.chmod(tmp_path, 0o555)
    try:
        with pytest.raises(ValueError):
            core.Model().save(str(path))
    finally:
        os.chmod(tmp_path, 0o755)
    assert path.read_bytes() == data


def test_a_failed_write_keeps_the_old_file(saved, tmp_path):
    # A file size limit makes the write fail as a full disk would, for root too.
    _, data, _ = saved
    path = tmp_path / "model.fbz"
    path.write_bytes(b"old content")
    script = textwrap.dedent(f"""
        import resource, signal, sys
        sys.path.insert(0, {os.path.dirname(__file__)!r})
        import nuvra.core as core
        from v2_models import conv_model
        model = conv_model(core)
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, ({len(data) // 2}, resource.RLIM_INFINITY))
        try:
            model.save({str(path)!r})
        except RuntimeError as e:
            print(e)
    """)
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True)
    assert result.stdout.startswith("Unable to write model file " + str(path) + ": ")
    assert path.read_bytes() == b"old content"
    assert os.listdir(tmp_path) == ["model.fbz"]


def test_save_replaces_an_existing_file_whole(core, saved, tmp_path):
    _, data, _ = saved
    path = tmp_path / "model.fbz"
    path.write_bytes(b"\x01" * (len(data) * 2))
    os.chmod(path, 0o640)
    empty = core.Model()
    empty.save(str(path))
    assert snappy_decode(path.read_bytes())[0] == empty.to_buffer()
    assert stat.S_IMODE(os.stat(path).st_mode) == 0o640
    assert os.listdir(tmp_path) == ["model.fbz"]  # no temporary file left behind


def test_save_through_a_symbolic_link_writes_its_target(core, saved, tmp_path):
    model, data, _ = saved
    (tmp_path / "real.fbz").write_bytes(b"old")
    os.symlink("real.fbz", tmp_path / "link.fbz")
    model.save(str(tmp_path / "link.fbz"))
    assert os.path.islink(tmp_path / "link.fbz")
    assert (tmp_path / "real.fbz").read_bytes() == data
