"""Runs one fuzz target under atheris: `python fuzz/fuzz.py TARGET [libFuzzer options] [corpus dirs or files]`.

scripts/fuzz-run starts it against the sanitizer build of the module; given
files instead of directories, libFuzzer runs just those inputs (to reproduce
a crash). The toolkit's Python code is instrumented too, so that inputs
reaching new toolkit paths count as progress.
"""

import sys

import atheris

with atheris.instrument_imports(include=["onelogin", "fuzz_targets", "fuzz_hosts"]):
    import fuzz_targets as harness


def main() -> None:
    if len(sys.argv) < 2 or sys.argv[1] not in harness.TARGETS:
        sys.exit(f"usage: fuzz.py {{{','.join(harness.TARGETS)}}} [libFuzzer options] [corpus...]")
    name = sys.argv.pop(1)

    def test_one_input(data: bytes) -> None:
        harness.run(name, data, strict=False)

    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
