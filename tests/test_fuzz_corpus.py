"""Every stored fuzz input, replayed through the fuzzer's own harness
(fuzz/fuzz_targets.py) without the fuzzer: an input that once found a fault
keeps failing here until the fault is mended, and stays mended.

Each target's inputs run in a child interpreter, so that an input that
kills the process names itself instead of ending the suite. Under the
sanitizer run the child inherits the sanitizer build and its runtime."""

import subprocess
import sys
from pathlib import Path

import pytest

FUZZ = Path(__file__).resolve().parent.parent / "fuzz"
sys.path.append(str(FUZZ))
import fuzz_targets as harness  # noqa: E402
from fuzz_hosts import RAISED, HostError  # noqa: E402

TARGETS = sorted(p.name for p in (FUZZ / "corpus").iterdir() if p.is_dir())

def replay(target, inputs):
    """Failures of replaying `inputs` in a child; one that kills the child
    is noted and the child started again after it, so that one run names
    every failing input."""
    pending = list(inputs)
    failures = []
    while pending:
        child = subprocess.run([sys.executable, str(FUZZ / "replay.py"), target, *map(str, pending)],
                               capture_output=True, text=True, timeout=900)
        replayed = [line.split("/", 1)[1] for line in child.stdout.splitlines() if line.startswith(target + "/")]
        failures += [line.strip() for line in child.stdout.splitlines() if line.startswith("  fault:")]
        if child.returncode in (0, 1) and child.stdout.rstrip().endswith("faults"):
            break
        failures.append(f"{replayed[-1]}: exit status {child.returncode}: {child.stderr.strip()[-400:]}")
        pending = pending[[p.name for p in pending].index(replayed[-1]) + 1:]
    return failures


def test_every_target_has_a_corpus():
    assert TARGETS == sorted(harness.TARGETS)


@pytest.mark.parametrize("target", TARGETS)
def test_corpus_replays_clean(target):
    inputs = [p for p in sorted((FUZZ / "corpus" / target).iterdir()) if f"{target}/{p.name}" not in harness.OPEN_FAULTS]
    failures = replay(target, inputs)
    assert not failures, "\n".join(failures)


@pytest.mark.parametrize("name", sorted(harness.OPEN_FAULTS))
def test_open_fault(name):
    """A fault reported and not mended yet: an expected failure while it
    lasts; once mended, this passes and the entry can go."""
    target, _, file = name.partition("/")
    failures = replay(target, [FUZZ / "corpus" / target / file])
    if failures:
        pytest.xfail(harness.OPEN_FAULTS[name][1] + ": " + failures[0])


def _module_raised(error):
    """An exception as the module raises it: no frame of the host's or the toolkit's."""
    try:
        raise error
    except BaseException as raised:  # noqa: B036
        return raised


def _cycle():
    error = ValueError("own context")
    error.__context__ = error
    return error


@pytest.mark.parametrize("entry, error, fault", [
    ("process_saml_response", ValueError("Not authenticated"), False),
    ("process_saml_response", SystemError("bad argument to internal function"), True),
    ("process_saml_response", KeyError("x"), True),
    ("get_user_id", RuntimeError("Unable to cast Python instance to C++ type"), True),
    ("lock", _cycle(), True),
    ("tracker", OverflowError("too big"), True),
])
def test_judge(entry, error, fault):
    """The judge that decides every fuzz input: a vacuous one would let every replay pass."""
    raised = _module_raised(error)
    if fault:
        with pytest.raises(harness.Fault):
            harness.judge(entry, raised)
    else:
        harness.judge(entry, raised)


def test_judge_lets_host_exceptions_through_only_unchanged():
    RAISED.clear()
    mine = HostError("the host's")
    RAISED.append(mine)
    harness.judge("get_user_id", _module_raised(mine))
    with pytest.raises(harness.Fault, match="another object"):
        harness.judge("get_user_id", _module_raised(HostError("a copy")))
    RAISED.clear()
