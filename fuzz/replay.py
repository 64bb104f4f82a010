"""Replays stored inputs through the harness, without atheris:
`python fuzz/replay.py TARGET [FILE or DIRECTORY...]` (default: every file
of fuzz/corpus/TARGET). Prints each input's name before running it, so that
an input that kills the process is named; exits 1 if any input found a fault.
"""

import sys
import traceback
from pathlib import Path

import fuzz_targets as harness


def main() -> int:
    name = sys.argv[1]
    given = [Path(f) for f in sys.argv[2:]] or [harness.HERE / "corpus" / name]
    files = [f for p in given for f in (sorted(p.iterdir()) if p.is_dir() else [p])]
    faults = 0
    for path in files:
        print(f"{name}/{path.name}", flush=True)
        try:
            harness.run(name, path.read_bytes())
        except harness.Fault as fault:
            faults += 1
            traceback.print_exc()
            print(f"  fault: {path.name}: {fault}", flush=True)
    print(f"{len(files)} inputs, {faults} faults", flush=True)
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
