"""The int8 multiply-add peak of one core, measured by the bench_peak_bench program of the build
(bench/peak_bench.cpp), for the Python benchmarks to state their kernels as a fraction of it.
Run alone, it prints the peak. Run with PYTHONPATH=<build dir>.
"""
import os
import subprocess


def int8_peak():
    """GMAC/s of the fastest int8 route on one core, or None when the program is not built."""
    from nuvra import core
    build = os.path.dirname(os.path.dirname(os.path.abspath(core.__file__)))
    program = os.path.join(build, "bench", "bench_peak_bench")
    if not os.access(program, os.X_OK):
        return None
    out = subprocess.run([program, "--int8"], capture_output=True, text=True, check=True)
    return float(out.stdout)


def share(gmacs, peak):
    """' NN% of peak', or nothing without a peak."""
    return f" {gmacs / peak * 100:5.1f}% of peak" if peak else ""


if __name__ == "__main__":
    peak = int8_peak()
    print(f"int8 peak of one core: {peak:.1f} GMAC/s" if peak else "int8 peak: bench_peak_bench is not built")
