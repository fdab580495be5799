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
first one), byte for byte and so in order, or without the "signature" value
where signatures are randomised (ECDSA); a run that differs stops the
benchmark. (SoftHSM2 hands out a token's objects in the order of their
addresses in memory; scripts/benchmark.sh makes that order the same for
every program where a token holds more than one certificate.)

The references of a group are floors (benchmark/floor): the least floor,
which makes only the calls no implementation can skip, comes first; a
command's cost above it is the median over the rounds of its time minus the
least floor's time in the same round.

A command whose plan names a "moduleTime" file gets it removed before each run
and read after it: the nanoseconds the run spent inside the card module's
calls, as a timing module in front of the real one writes them. Such groups get
a table of their own: the module's time, everything else, and that as a share
of the module's time and of the whole run's; and the helper's own cost (above
the least floor) is given as a share of its module's time as well.
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
    """The answer as it is, or without its signature where signatures are
    random; in the helper's written form, and so in its order, either way."""
    if not drop_signature:
        return answer
    document = json.loads(answer)
    document.pop("signature", None)
    return (written(document) + "\n").encode()


class Mismatch(Exception):
    """A run that failed or answered otherwise than the helper: the benchmark stops there."""


def run_group(group, rounds, scratch):
    commands = group["commands"]
    times = {c["name"]: [] for c in commands}
    cpu = {c["name"]: [] for c in commands}
    memory = {c["name"]: [] for c in commands}
    module = {c["name"]: [] for c in commands if "moduleTime" in c}
    expected = None
    output_path = os.path.join(scratch, "answer")
    for round_number in range(rounds + 1):  # round 0 warms the caches and is not counted
        shift = round_number % len(commands)
        for command in commands[shift:] + commands[:shift]:
            if "moduleTime" in command and os.path.exists(command["moduleTime"]):
                os.remove(command["moduleTime"])
            seconds, processor, status = run(command, output_path)
            with open(output_path, "rb") as answer_file:
                answer = answer_file.read()
            if command.get("answers", True):
                if status != 0:
                    raise Mismatch(f"{group['name']}: {command['name']} ended with status {status} in round {round_number}: "
                                   f"{answer[:300]!r}")
                mine = comparable(answer, group.get("randomSignature", False))
                if expected is None:
                    expected = mine
                elif mine != expected:
                    at = next((i for i, (x, y) in enumerate(zip(mine, expected)) if x != y), min(len(mine), len(expected)))
                    raise Mismatch(f"{group['name']}: {command['name']} answered differently in round {round_number}, at byte {at}:\n"
                             f"  {mine[max(0, at - 60):at + 60]!r}\nexpected:\n  {expected[max(0, at - 60):at + 60]!r}")
            if round_number > 0:
                times[command["name"]].append(seconds)
                cpu[command["name"]].append(processor)
                if "moduleTime" in command:
                    with open(command["moduleTime"]) as module_file:
                        # One line for each time the program loaded the module.
                        module[command["name"]].append(sum(int(n) for n in module_file.read().split()) / 1e9)
    for _ in range(3):
        for command in commands:
            memory[command["name"]].append(run(command, output_path, measure_memory=True)[0])
    counted = {}
    if os.environ.get("INSTRUCTIONS") == "1":
        for command in commands:
            if command.get("answers", True):
                counted[command["name"]] = instructions(command, output_path)
    return times, cpu, memory, counted, module


def ratio(times, name, reference):
    return statistics.median(a / max(b, 1e-6) for a, b in zip(times[name], times[reference]))


def above(times, name, reference):
    return statistics.median(a - b for a, b in zip(times[name], times[reference]))


# The floors a group may name, in the table's order (see benchmark/floor/floor.c).
FLOORS = ["least floor", "OpenSSL floor", "NSS floor"]


def print_table(header, rows):
    widths = [max(len(str(row[i])) for row in rows + [header]) for i in range(len(header))]
    line = lambda row: "| " + " | ".join(str(v).ljust(w) for v, w in zip(row, widths)) + " |"
    print(line(header))
    print("|" + "|".join("-" * (w + 2) for w in widths) + "|")
    for row in rows:
        print(line(row))
    print()


def main():
    plan_path, rounds = sys.argv[1], int(sys.argv[2])
    with open(plan_path) as plan_file:
        plan = json.load(plan_file)
    rows, own_rows, module_rows = [], [], []
    stopped = None
    with tempfile.TemporaryDirectory() as scratch:
        for group in plan:
            try:
                # A group whose runs take seconds (a real reader stack) may ask for fewer rounds.
                times, cpu, memory, counted, module = run_group(group, group.get("rounds", rounds), scratch)
            except Mismatch as mismatch:
                stopped = str(mismatch)  # the groups measured so far are still shown
                break
            references = group["references"]
            least = references[0]
            for command in group["commands"]:
                name = command["name"]
                by_floor = lambda values, form: [form(values, name, f) if f in references else "" for f in FLOORS]
                rows.append([group["name"], name, f"{statistics.median(times[name]) * 1000:.1f}"] +
                            by_floor(times, lambda v, n, f: f"{ratio(v, n, f):.2f}") +
                            [f"{above(times, name, least) * 1000:+.1f}",
                             f"{statistics.median(cpu[name]) * 1000:.1f}", f"{ratio(cpu, name, least):.2f}",
                             f"{statistics.median(memory[name]) / 1024:.1f}",
                             f"{statistics.median(memory[name]) / statistics.median(memory[least]):.2f}"] +
                            ([f"{counted[name] / 1e6:.1f}", f"{counted[name] / counted[least]:.2f}",
                              f"{counted[name] / counted['NSS floor']:.2f}" if "NSS floor" in counted else ""]
                             if name in counted else ["", "", ""]))
            helper = group["commands"][0]["name"]
            own = above(times, helper, least)
            own_rows.append([group["name"], f"{statistics.median(times[helper]) * 1000:.1f}",
                             f"{statistics.median(times[least]) * 1000:.1f}", f"{own * 1000:+.1f}",
                             f"{own / statistics.median(times[helper]) * 100:+.0f} %",
                             f"{statistics.median((h - f) / max(m, 1e-9) for h, f, m in zip(times[helper], times[least], module[helper])) * 100:+.1f} %"
                             if helper in module else ""] +
                            ([f"{(counted[helper] - counted[least]) / 1e6:+.1f}"] if helper in counted else [""]))
            for name, seconds in module.items():
                rest = [t - m for t, m in zip(times[name], seconds)]
                module_rows.append([group["name"], name, f"{statistics.median(times[name]) * 1000:.1f}",
                                    f"{statistics.median(seconds) * 1000:.1f}", f"{statistics.median(rest) * 1000:.1f}",
                                    f"{statistics.median(r / max(m, 1e-9) for r, m in zip(rest, seconds)) * 100:.1f} %",
                                    f"{statistics.median(r / max(t, 1e-9) for r, t in zip(rest, times[name])) * 100:.1f} %"])
            print(f"done: {group['name']} ({group.get('rounds', rounds)} rounds)", file=sys.stderr, flush=True)
    print_table(["case", "command", "wall ms"] + [f"× {f}" for f in FLOORS] +
                ["ms above least", "CPU ms", "× least", "peak MiB", "× least", "M instr", "× least", "× NSS floor"],
                rows)
    print("The helper's own cost: its time above the least floor (median of per-round differences).")
    print()
    print_table(["case", "helper ms", "least floor ms", "helper's own ms", "share of the helper's time",
                 "own ÷ module", "own M instr"], own_rows)
    if module_rows:
        print("Time inside the card module's calls and everything else (medians of the rounds).")
        print()
        print_table(["case", "command", "wall ms", "module ms", "everything else ms", "else ÷ module", "else ÷ wall"],
                    module_rows)
    if stopped is not None:
        sys.exit(stopped)


if __name__ == "__main__":
    main()
