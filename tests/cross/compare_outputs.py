"""Compares cross_check outputs (tests/cross/cross_check.cpp) from several machines or CPU
models, given as files: every gate case must have the same statevector bits and every sampling
case the same token in all of them, except that results holding NaN must agree with every NaN
made one pattern, in the same places (IEEE arithmetic leaves the sign and payload of a NaN
result to the processor); how many of those agree bit for bit anyway is reported. Prints what each run chose and a summary; exits 1 on any difference."""

import sys

runs = {}
for path in sys.argv[1:]:
    with open(path) as f:
        lines = [line.split() for line in f if line.strip()]
    header = {words[0]: words[1] for words in lines if words[0] not in ("gate", "sample")}
    print(f"{path}: gate kernels {header['active']}, sampler weights path {header['sampler-exp-path']}")
    runs[path] = {(words[0], words[1]): words[2:] for words in lines if words[0] in ("gate", "sample")}

first, *others = runs
failures = nan_cases = nan_exact = 0
for key, value in runs[first].items():
    nan_case = key[0] == "gate" and value[-1] != "0"
    nan_cases += nan_case
    exact = True
    for other in others:
        theirs = runs[other].get(key)
        exact &= theirs == value
        if theirs is None or (theirs[1:] if nan_case else theirs) != (value[1:] if nan_case else value):
            failures += 1
            print(f"{key[0]} {key[1]}: {first} has {value}, {other} has {theirs}")
    nan_exact += nan_case and exact
gates = sum(1 for kind, _ in runs[first] if kind == "gate")
samples = len(runs[first]) - gates
missing = [key for other in others for key in runs[other] if key not in runs[first]]
if missing or any("variants-differ" in value for run in runs.values() for value in run.values()):
    failures += 1
print(f"{gates} gate cases and {samples} sampling cases over {len(runs)} runs: "
      + ("identical" if not failures else f"{failures} differences")
      + f"; NaN bits identical too in {nan_exact} of {nan_cases} results holding NaN")
sys.exit(1 if failures else 0)
