"""usage: PYTHONPATH=build/python-release/python /usr/bin/python3 bench/python_bench.py [ROUNDS]

The Python module's speed goals, raced as bench/race.hpp races the C++ benchmarks: every round
times one batch of each contender, in an order that rotates from round to round, and a ratio is
the median over the rounds of ours / peer within the same round, so that the machine's drift
spoils a round, not the result. Each contender is then timed alone, batch after batch; a ratio
whose peer's raced and alone medians differ by more than 1.5x is refused. See
docs/performance.md, "The Python module".
"""
import json
import pathlib
import statistics
import sys
import time

import quillon_monitoring as qm

SEEDS = pathlib.Path(__file__).resolve().parents[1] / "fuzz" / "corpus" / "reader"
ROUNDS = int(sys.argv[1]) if len(sys.argv) > 1 else 200
TARGET_NS = 2_000_000  # one batch of ours takes about this long


def batch_time(operation, size):
    start = time.perf_counter_ns()
    for _ in range(size):
        operation()
    return (time.perf_counter_ns() - start) / size


def race(case, goal, ours, peer, per=1):
    """Prints the case's line: ns per operation of both, the median ratio and the goal."""
    size = max(1, int(TARGET_NS / batch_time(ours, 3)))
    contenders = [ours, peer]
    raced = [[], []]
    for round in range(ROUNDS):
        for index in (0, 1) if round % 2 == 0 else (1, 0):
            raced[index].append(batch_time(contenders[index], size))
    alone = [[batch_time(contender, size) for _ in range(ROUNDS)] for contender in contenders]
    ratio = statistics.median(o / p for o, p in zip(*raced))
    medians = [statistics.median(times) / per for times in raced]
    alone_medians = [statistics.median(times) / per for times in alone]
    drift = max(medians[1], alone_medians[1]) / min(medians[1], alone_medians[1])
    verdict = (f"NO RATIO: peer {medians[1]:.0f} ns raced, {alone_medians[1]:.0f} ns alone"
               if drift > 1.5 else f"{ratio:.2f}x (goal <= {goal}x: "
               f"{'met' if ratio <= goal else 'MISSED'})")
    print(f"{case:34} ours {medians[0]:9.0f} ns ({alone_medians[0]:.0f} alone)  "
          f"peer {medians[1]:9.0f} ns ({alone_medians[1]:.0f} alone)  {verdict}", flush=True)


def building_probe(index):
    """A probe as a runtime writes one: a fresh record of the engine's current state."""
    def read():
        return qm.Observation(
            system_id="lab", epoch=4, sequence=2, logical_time=100, observed_at_ns=1000,
            entity=qm.EntityIdentity(qm.EntityKind.engine, f"e{index}", "gpu-0"),
            observed=qm.ObservedState(lifecycle=qm.LifecycleState.running,
                                      health=qm.HealthState.healthy, ready=True, pressure=0.2,
                                      last_observed_ns=999))
    return read


def prebuilt_probe(index):
    """A probe that hands back one record it keeps up to date elsewhere."""
    observation = building_probe(index)()
    return lambda: observation


def main():
    with open("/proc/loadavg") as load:
        print(f"load average before: {load.read().split()[0]}; {ROUNDS} rounds")
    for name in ("fixture", "engine_example"):
        text = (SEEDS / name).read_text()
        record, document = qm.read_observation(text), json.loads(text)
        assert record.to_canonical_json() == text  # the same bytes from both writers
        assert json.dumps(document, sort_keys=True, separators=(",", ":")) == text.replace(
            "0.20000000000000001", "0.2")
        race(f"read_observation/{name}", 1.0, lambda: qm.read_observation(text),
             lambda: json.loads(text))
        race(f"to_canonical_json/{name}", 0.5, record.to_canonical_json,
             lambda: json.dumps(document, sort_keys=True, separators=(",", ":")))
    for kind, probe in (("building", building_probe), ("prebuilt", prebuilt_probe)):
        reads = [probe(index) for index in range(1000)]
        barrier = qm.SnapshotBarrier([qm.SnapshotProbe(f"engine:gpu-0/e{index}", read)
                                      for index, read in enumerate(reads)])
        assert qm.is_consistent(barrier.capture("lab", 4, 1))
        race(f"capture/1000 {kind} probes", 1.5, lambda: barrier.capture("lab", 4, 1),
             lambda: [read() for read in reads], per=1000)
    with open("/proc/loadavg") as load:
        print(f"load average after: {load.read().split()[0]}")


if __name__ == "__main__":
    main()
