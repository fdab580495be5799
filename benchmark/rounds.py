#!/usr/bin/env python3
"""Runs the benchmark's commands side by side and prints one table.

The plan (JSON, from scripts/benchmark.sh) is a list of groups. A group runs
its commands once per round, in an order rotated by one each round, so that
what the machine is doing at any moment touches every command alike; each
command's time is its whole process, from spawn to exit. A command's ratio to
a reference is the median over the rounds of its time divided by the
reference's time in the same round: a slow moment spoils one round's pair,
not the median. Peak memory is each process's maximum resident set.

Every run's output is compared with the group's expected answer (the helper's
first one), byte for byte, or without the "signature" value where signatures
are randomised (ECDSA); a run that differs stops the benchmark. The entries of
a listing are compared as a set of exact texts: SoftHSM2 keeps a token's
objects in a set ordered by their addresses in memory, so two programs that
allocate differently see the same objects in different orders.
"""
import json
import os
import statistics
import sys
import tempfile
import time


def run(command, output_path, measure_memory=False):
    """Spawns one process; returns (wall seconds, CPU seconds, exit status), or
    with measure_memory (peak resident KiB, exit status) through GNU time: a
    process started from this one would count this one's memory as its own,
    since a new program inherits the high-water mark of the process it replaces."""
    argv = command["argv"]
    if measure_memory:
        memory_path = output_path + ".memory"
        argv = ["time", "-f", "%M", "-o", memory_path] + argv
    actions = [(os.POSIX_SPAWN_OPEN, 0, command.get("stdin", os.devnull), os.O_RDONLY, 0),
               (os.POSIX_SPAWN_OPEN, 1, output_path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600),
               (os.POSIX_SPAWN_OPEN, 2, os.devnull, os.O_WRONLY, 0)]
    environment = dict(os.environ, **command.get("env", {}))
    start = time.perf_counter()
    pid = os.posix_spawnp(argv[0], argv, environment, file_actions=actions)
    _, status, usage = os.wait4(pid, 0)
    elapsed = time.perf_counter() - start
    if measure_memory:
        with open(memory_path) as memory_file:
            return int(memory_file.read().split()[-1]), os.waitstatus_to_exitcode(status)
    return elapsed, usage.ru_utime + usage.ru_stime, os.waitstatus_to_exitcode(status)


def written(value):
    """JSON text exactly as the helper writes it: compact, '/' escaped, UTF-8 as it is."""
    return json.dumps(value, ensure_ascii=False, separators=(",", ":")).replace("/", "\\/")


def instructions(command, output_path):
    """Instructions the whole process executes, under callgrind: the same from
    run to run however busy the machine is."""
    log_path = output_path + ".callgrind"
    probe = dict(command, argv=["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null",
                                f"--log-file={log_path}"] + command["argv"])
    run(probe, output_path)
    with open(log_path) as log:
        return int(next(line for line in log if "Collected" in line).split()[-1])


def comparable(answer, drop_signature):
    document = json.loads(answer)
    if "certificates" in document:
        entries = [written(entry) for entry in document["certificates"]]
        rest = "".join("," + written(key) + ":" + written(value) for key, value in document.items() if key != "certificates")
        if ('{"certificates":[' + ",".join(entries) + "]" + rest + "}\n").encode() != answer:
            return answer  # not in the written form: compared as it is, and so found different
        return json.dumps([sorted(entries), rest]).encode()
    if drop_signature:
        document.pop("signature", None)
        return json.dumps(document, sort_keys=True).encode()
    return answer


def run_group(group, rounds, scratch):
    commands = group["commands"]
    times = {c["name"]: [] for c in commands}
    cpu = {c["name"]: [] for c in commands}
    memory = {c["name"]: [] for c in commands}
    expected = None
    output_path = os.path.join(scratch, "answer")
    for round_number in range(rounds + 1):  # round 0 warms the caches and is not counted
        shift = round_number % len(commands)
        for command in commands[shift:] + commands[:shift]:
            seconds, processor, status = run(command, output_path)
            with open(output_path, "rb") as answer_file:
                answer = answer_file.read()
            if command.get("answers", True):
                if status != 0:
                    sys.exit(f"{group['name']}: {command['name']} ended with status {status}")
                mine = comparable(answer, group.get("randomSignature", False))
                if expected is None:
                    expected = mine
                elif mine != expected:
                    at = next((i for i, (x, y) in enumerate(zip(mine, expected)) if x != y), min(len(mine), len(expected)))
                    sys.exit(f"{group['name']}: {command['name']} answered differently at byte {at}:\n"
                             f"  {mine[max(0, at - 60):at + 60]!r}\nexpected:\n  {expected[max(0, at - 60):at + 60]!r}")
            if round_number > 0:
                times[command["name"]].append(seconds)
                cpu[command["name"]].append(processor)
    for _ in range(3):
        for command in commands:
            memory[command["name"]].append(run(command, output_path, measure_memory=True)[0])
    counted = {}
    if os.environ.get("INSTRUCTIONS") == "1":
        for command in commands:
            if command.get("answers", True):
                counted[command["name"]] = instructions(command, output_path)
    return times, cpu, memory, counted


def ratio(times, name, reference):
    return statistics.median(a / max(b, 1e-6) for a, b in zip(times[name], times[reference]))


def main():
    plan_path, rounds = sys.argv[1], int(sys.argv[2])
    with open(plan_path) as plan_file:
        plan = json.load(plan_file)
    rows = []
    with tempfile.TemporaryDirectory() as scratch:
        for group in plan:
            times, cpu, memory, counted = run_group(group, rounds, scratch)
            references = group["references"]
            for command in group["commands"]:
                name = command["name"]
                padding = [""] * (2 - len(references))
                rows.append([group["name"], name, f"{statistics.median(times[name]) * 1000:.1f}"] +
                            [f"{ratio(times, name, r):.2f}" for r in references] + padding +
                            [f"{statistics.median(cpu[name]) * 1000:.1f}"] +
                            [f"{ratio(cpu, name, r):.2f}" for r in references] + padding +
                            [f"{statistics.median(memory[name]) / 1024:.1f}",
                             f"{statistics.median(memory[name]) / statistics.median(memory[references[0]]):.2f}"] +
                            ([f"{counted[name] / 1e6:.1f}"] +
                             [f"{counted[name] / counted[r]:.2f}" for r in references] + padding
                             if name in counted else ["", "", ""]))
            print(f"done: {group['name']} ({rounds} rounds)", file=sys.stderr, flush=True)
    header = ["case", "command", "wall ms", "× floor", "× NSS floor", "CPU ms", "× floor", "× NSS floor",
              "peak MiB", "× floor", "M instr", "× floor", "× NSS floor"]
    widths = [max(len(str(row[i])) for row in rows + [header]) for i in range(len(header))]
    line = lambda row: "| " + " | ".join(str(v).ljust(w) for v, w in zip(row, widths)) + " |"
    print(line(header))
    print("|" + "|".join("-" * (w + 2) for w in widths) + "|")
    for row in rows:
        print(line(row))


if __name__ == "__main__":
    main()
