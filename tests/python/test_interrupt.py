"""Ctrl-C during long runs: SIGINT stops forward, predict, evaluate and fit between samples with
KeyboardInterrupt, and the model runs as before. The run holds the GIL, so the signal comes from
this process into a child that runs the model."""
import os
import queue
import signal
import subprocess
import sys
import threading
import time

import pytest

CHILD = f"""import sys; sys.path.insert(0, {os.path.dirname(os.path.abspath(__file__))!r})
import os
import signal
import time
import numpy as np
import nuvra.core as core
from v2_models import model_of

# A shell starts background jobs with SIGINT ignored, and Python then keeps it ignored.
signal.signal(signal.SIGINT, signal.default_int_handler)

model = model_of(core, (core.InputConvolutional, "in", dict(input_width=64, input_height=64, input_channels=3,
                                                            filters=64, kernel_size=3, input_bits=8)),
                 (core.Convolutional, "c1", dict(filters=64, kernel_size=3)),
                 (core.Convolutional, "c2", dict(filters=64, kernel_size=3)),
                 (core.Convolutional, "c3", dict(filters=8, kernel_size=1)),
                 (core.FullyConnected, "fc", dict(units=10, activation=0)))
model.compile(core.NuvraUnsupervised(num_weights=1, num_classes=10))
rng = np.random.default_rng(1)
# The stop is measured in the CPU time of the thread that polls (this one), which other processes
# on a loaded machine do not stretch as they stretch the wall clock. Enough samples for about 3 s
# of all threads' work at this build's pace (12 KB each, at most 8000); a sanitized build's
# samples are slow enough to be timed in fewer.
warm_up = rng.integers(0, 256, (16 if os.environ.get("NUVRA_SANITIZED") else 128, 64, 64, 3), dtype=np.uint8)
model.forward(warm_up)  # the first run also packs the weights and starts the threads
cpu = time.process_time()
model.forward(warm_up)
sample = (time.process_time() - cpu) / len(warm_up)  # on one thread
print(sample, flush=True)
n = int(min(max(3 * os.cpu_count() / sample, 512), 8000))
x = rng.integers(0, 256, (n, 64, 64, 3), dtype=np.uint8)
labels = np.arange(n, dtype=np.int32) % 10
expected = model.forward(x[:4])
for name, run in [("forward", lambda: model.forward(x)), ("predict", lambda: model.predict(x)),
                  ("evaluate", lambda: model.evaluate(x, labels)), ("fit", lambda: model.fit(x, labels))]:
    print(name, flush=True)
    start = time.monotonic()
    try:
        run()
        print("finished", flush=True)
    except KeyboardInterrupt:
        print(time.monotonic() - start, time.thread_time(), flush=True)
    # The samples before the interrupt ran in the convolutions: the classifier learnt nothing.
    assert (model.forward(x[:4]) == expected).all()
    assert not model.get_layer("fc").variables["thswap"].any()
"""


def thread_time(pid):
    """CPU seconds of the process's first thread so far."""
    with open(f"/proc/{pid}/task/{pid}/schedstat") as stat:
        return int(stat.read().split()[0]) / 1e9


def test_sigint_stops_long_runs():
    child = subprocess.Popen([sys.executable, "-c", CHILD], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    lines = queue.Queue()
    threading.Thread(target=lambda: [lines.put(line) for line in child.stdout] + [lines.put("")], daemon=True).start()

    def errors():
        child.kill()
        return child.stderr.read()

    def answer(seconds=120):
        """The child's next line; a child that does not answer in time fails the test instead of hanging it."""
        try:
            return lines.get(timeout=seconds)
        except queue.Empty:
            pytest.fail(f"the child did not answer within {seconds} s: {errors()}")

    try:
        sample = float(answer() or "nan")
        for name in ["forward", "predict", "evaluate", "fit"]:
            assert answer().strip() == name, errors()
            time.sleep(0.3)
            sent = thread_time(child.pid)
            child.send_signal(signal.SIGINT)
            stop = answer().split()
            assert stop and stop[0] != "finished", (name, stop, errors())
            ran, stopped = map(float, stop)
            # Stopped within the run (not before it) once the polling thread finished the sample
            # it held. The thread's time may be read up to a clock tick late.
            assert ran > 0.1 and stopped - sent < 4 * sample + 0.02, (name, ran, stopped - sent, sample)
        assert child.wait(timeout=60) == 0, errors()
    finally:
        child.kill()
        child.wait()
