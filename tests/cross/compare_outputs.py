"""Compares cross_check outputs (tests/cross/cross_check.cpp) from several machines or CPU
models, given as files: every gate case must have the same statevector bytes, NaN included, and
every sampling case the same token in all of them. Prints what each run chose and a summary;
exits 1 on any difference."""

import sys

runs = {}
for path in sys.argv[1:]:
    with open(path) as f:
        lines = [line.split() for line in f if line.strip()]
    header = {words[0]: words[1] for words in lines if words[0] not in ("gate", "sample")}
    print(f"{path}: gate kernels {header['active']}, sampler weights path {header['sampler-exp-path']}")
    runs[path] = {(words[0], words[1]): words[2:] for words in lines if words[0] in ("gate", "sample")}

first, *others = runs
failures = 0
for key, value in runs[first].items():
    for other in others:
        theirs = runs[other].get(key)
        if theirs != value:
            failures += 1
            print(f"{key[0]} {key[1]}: {first} has {value}, {other} has {theirs}")
gates = sum(1 for kind, _ in runs[first] if kind == "gate")
nan_cases = sum(1 for (kind, _), value in runs[first].items() if kind == "gate" and value[-1] != "0")
samples = len(runs[first]) - gates
missing = [key for other in others for key in runs[other] if key not in runs[first]]
if missing or any("variants-differ" in value for run in runs.values() for value in run.values()):
    failures += 1
print(f"{gates} gate cases ({nan_cases} holding NaN) and {samples} sampling cases over "
      f"{len(runs)} runs: " + ("identical, every byte" if not failures else f"{failures} differences"))
sys.exit(1 if failures else 0)
