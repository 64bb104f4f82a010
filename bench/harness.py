"""Timing and set-up shared by the benchmark sections.

Two ways of timing: `paired` for calls that need a fresh input each time
(a signed response is refused when posted twice), one call per sample; and
`interleaved` for calls that can be repeated, many calls per sample. Both
alternate which side runs first, so drift and cache warmth fall on both sides
alike, and keep the garbage collector out of the timed region.
"""

from __future__ import annotations

import contextlib
import gc
import os
import platform
import shutil
import socket
import subprocess
import sys
import time
import warnings
from pathlib import Path
from statistics import median

ROOT = Path(__file__).resolve().parent.parent
sys.path[:0] = [str(ROOT / "tests"), str(ROOT / "host")]
# numpy (for the intervals and the plots) would otherwise start a BLAS thread
# per core, spinning beside the timed code on a small machine.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

# The toolkit reads the clock with datetime.utcnow(), the host framework
# imports pkg_resources: warnings that would only be noise between figures.
warnings.filterwarnings("ignore", category=DeprecationWarning)
warnings.filterwarnings("ignore", message="pkg_resources is deprecated")

SP_HOST = "sp.example.com"
SP_BASE = "https://" + SP_HOST
ACS_PATH = "/sso/saml/acs"
ACS_URL = SP_BASE + ACS_PATH
SP_ENTITY_ID = SP_BASE + "/sso/saml/metadata"


def blank(path, **kwargs):
    """A request to the SP as a browser sends it, built as the host builds it."""
    from pyramid.request import Request

    request = Request.blank(path, base_url=SP_BASE, **kwargs)
    request.host = SP_HOST
    return request


def ratio_interval(a, b, resamples=1000, seed=1):
    """95% bootstrap interval of median(a) / median(b), pairs resampled
    together so that the pairing survives."""
    import numpy as np

    a, b = np.asarray(a), np.asarray(b)
    rng = np.random.default_rng(seed)
    idx = rng.integers(0, len(a), (resamples, len(a)))
    ratios = np.median(a[idx], axis=1) / np.median(b[idx], axis=1)
    low, high = np.percentile(ratios, [2.5, 97.5])
    return float(low), float(high)


def paired(run_a, run_b, inputs_a, inputs_b, between=None):
    """One timed call of each side per pair, on inputs made beforehand;
    `between` runs before each pair, untimed. Returns the two lists of
    seconds."""
    times_a, times_b = [], []
    clock = time.perf_counter
    for i, (x, y) in enumerate(zip(inputs_a, inputs_b)):
        if between is not None:
            between()
        gc.disable()
        if i % 2:
            t0 = clock(); run_a(x); t1 = clock(); run_b(y); t2 = clock()
            times_a.append(t1 - t0); times_b.append(t2 - t1)
        else:
            t0 = clock(); run_b(y); t1 = clock(); run_a(x); t2 = clock()
            times_b.append(t1 - t0); times_a.append(t2 - t1)
        gc.enable()
    return times_a, times_b


def loops_for(run, min_sample_seconds, max_loops=100_000):
    """How many calls make one sample last at least `min_sample_seconds`."""
    loops = 1
    while loops < max_loops:
        t0 = time.perf_counter()
        for _ in range(loops):
            run()
        if time.perf_counter() - t0 >= min_sample_seconds:
            break
        loops *= 2
    return loops


def interleaved(runs, samples, min_sample_seconds=0.005):
    """Seconds per call of each named callable: the median of `samples`
    samples, the callables taking turns sample by sample."""
    loops = {name: loops_for(run, min_sample_seconds) for name, run in runs.items()}
    times = {name: [] for name in runs}
    order = list(runs)
    for s in range(samples):
        for name in (order if s % 2 == 0 else order[::-1]):
            run, n = runs[name], loops[name]
            gc.collect()
            gc.disable()
            t0 = time.perf_counter()
            for _ in range(n):
                run()
            times[name].append((time.perf_counter() - t0) / n)
            gc.enable()
    return {name: median(values) for name, values in times.items()}


def free_port() -> int:
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@contextlib.contextmanager
def memcached(item_size="1m"):
    """A memcached of our own on loopback, on a free port, stopped by its PID.
    Yields its port, or None when memcached is not installed."""
    binary = shutil.which("memcached") or "/usr/sbin/memcached"
    if not os.path.exists(binary):
        yield None
        return
    port = free_port()
    args = [binary, "-l", "127.0.0.1", "-p", str(port), "-U", "0", "-m", "64", "-I", item_size]
    if os.geteuid() == 0:
        args += ["-u", "nobody"]
    proc = subprocess.Popen(args, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        deadline = time.monotonic() + 10
        while True:
            try:
                socket.create_connection(("127.0.0.1", port), timeout=0.2).close()
                break
            except OSError:
                if proc.poll() is not None or time.monotonic() > deadline:
                    raise RuntimeError("memcached did not start")
                time.sleep(0.05)
        yield port
    finally:
        proc.terminate()
        try:
            proc.wait(timeout=5)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


def machine() -> dict:
    """Where the figures came from."""
    info = {"nproc": os.cpu_count(), "python": platform.python_version(), "platform": platform.platform()}
    try:
        lscpu = subprocess.run(["lscpu"], capture_output=True, text=True, timeout=10).stdout
        fields = dict(line.split(":", 1) for line in lscpu.splitlines() if ":" in line)
        for key in ("Model name", "CPU(s)", "Thread(s) per core", "Hypervisor vendor", "L2 cache", "L3 cache"):
            if key in fields:
                info[key] = fields[key].strip()
    except (OSError, subprocess.SubprocessError):
        pass
    try:
        from importlib.metadata import version

        info["python3-saml"] = version("python3-saml")
        info["lxml"] = version("lxml")
        info["xmlsec"] = version("xmlsec")
    except Exception:  # noqa: BLE001 - versions are informative only
        pass
    return info
