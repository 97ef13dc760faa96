"""Seeded sweeps give the committed bits: on every interpreter, dependency version and build.

The cases and their digests are in golden/sweeps.txt (its header describes the format).
``python tests/test_golden.py --write`` rewrites the digests after a deliberate change.
"""
import hashlib
import pathlib
import sys

import numpy as np
import pytest

import quarnel_lab as ql
from quarnel_lab.seeding import sweep_key

GOLDEN = pathlib.Path(__file__).with_name("golden") / "sweeps.txt"
DIGEST = "sha256."
# The fields that are not arguments of the sweep function.
NOT_ARGUMENTS = ("case", "kind", "rows", "cols", "a", "key", "fails")


def parse(line):
    """The case on `line` as a dict of its fields; empty for a comment or blank line."""
    return dict(field.split("=", 1) for field in line.split("#", 1)[0].split())


def read_cases(path=GOLDEN):
    return [case for case in map(parse, path.read_text().splitlines()) if case]


def game(case):
    entries = [float(entry) for entry in case["a"].split(",")]
    return np.array(entries).reshape(int(case["rows"]), int(case["cols"]))


def run_case(case, **replaced):
    """The case's sweep; a case that `fails` at a trial gives the trials before it."""
    arguments = {name: value for name, value in case.items() if name not in NOT_ARGUMENTS and not name.startswith(DIGEST)}
    arguments.update({"trials": case.get("fails", case["trials"]), **replaced})
    counts = ("steps", "trials", "slices", "seed")
    typed = {name: int(value) if name in counts else value if name == "rule" else float(value)
             for name, value in arguments.items()}
    return getattr(ql, case["kind"])(game(case), progress=False, **typed)


def digest(column):
    little_endian = np.ascontiguousarray(column, dtype=column.dtype.newbyteorder("<"))
    return hashlib.sha256(little_endian.tobytes()).hexdigest()


@pytest.mark.quick
@pytest.mark.parametrize("case", read_cases(), ids=lambda case: case["case"])
def test_seeded_sweeps_give_the_committed_bits(case):
    assert sweep_key(int(case["seed"])).hex() == case["key"]
    sweep = run_case(case)
    expected = {name[len(DIGEST):]: value for name, value in case.items() if name.startswith(DIGEST)}
    assert set(sweep.columns) == set(expected)
    assert {name: digest(sweep[name]) for name in sweep.columns} == expected
    if "fails" in case:  # and all the trials stop there
        with pytest.raises(ql.DynamicsError):
            run_case(case, trials=case["trials"])


def write_digests(path=GOLDEN):
    lines = []
    for line in path.read_text().splitlines():
        case = {name: value for name, value in parse(line).items() if name != "key" and not name.startswith(DIGEST)}
        if case:
            sweep = run_case(case)
            case["key"] = sweep_key(int(case["seed"])).hex()
            case.update({DIGEST + name: digest(sweep[name]) for name in sweep.columns})
            line = " ".join(f"{name}={value}" for name, value in case.items())
        lines.append(line)
    path.write_text("\n".join(lines) + "\n")


if __name__ == "__main__":
    if sys.argv[1:] != ["--write"]:
        sys.exit(f"usage: python {sys.argv[0]} --write   (rewrites the digests in {GOLDEN})")
    write_digests()
