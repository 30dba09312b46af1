#!/usr/bin/env python3
"""Splits pam_brud's daemon exchange into its stages from a system-call trace.

    perf record -o stages.data -e raw_syscalls:sys_enter -e raw_syscalls:sys_exit \
        -- build/brute_force_report/bench/brud_bench --benchmark_filter=exchange_only
    perf script -i stages.data -F tid,time,event,trace | exchange_stages.py

Each exchange of the module is found by its socket(AF_UNIX) call; the key file
read is the openat ... close just before it. Prints the median of each stage
in microseconds (tracing adds about a microsecond to every system call).
"""
import re
import statistics
import sys

SOCKET, CONNECT, OPENAT, CLOSE, READ, SENDTO = 41, 42, 257, 3, 0, 44
EVENT = re.compile(r"\s*(\d+)\s+([\d.]+):\s+raw_syscalls:sys_(enter|exit):\s+NR (\d+) (\S+)")


def calls(lines):
    """(tid, nr, enter time, exit time, first argument) for each finished call."""
    open_calls = {}
    for line in lines:
        m = EVENT.match(line)
        if not m:
            continue
        tid, t, kind, nr, rest = m.group(1), float(m.group(2)) * 1e6, m.group(3), int(m.group(4)), m.group(5)
        if kind == "enter":
            open_calls[tid] = (nr, t, rest.strip("(,"))
        elif tid in open_calls and open_calls[tid][0] == nr:
            nr, start, arg = open_calls.pop(tid)
            yield tid, nr, start, t, arg


def exchanges(seq):
    """Stage times of each exchange in one thread's sequence of calls."""
    for i, (nr, start, end, arg) in enumerate(seq):
        if nr != SOCKET or arg != "1" or i < 1 or seq[i - 1][0] != CLOSE:
            continue
        key_open = next((j for j in range(i - 1, max(i - 8, -1), -1) if seq[j][0] == OPENAT), None)
        after = seq[i:i + 14]
        nrs = [c[0] for c in after]
        if key_open is None or nrs[1] != CONNECT or nrs.count(SENDTO) < 2:
            continue
        connect_end = after[1][2]
        reads = [c for c in after if c[0] == READ]
        sends = [c for c in after if c[0] == SENDTO]
        closes = [c for c in after[2:] if c[0] == CLOSE]
        if len(reads) < 3 or not closes:
            continue
        yield {
            "key file": seq[i - 1][2] - seq[key_open][1],
            "socket and connect": connect_end - start,
            "welcome": reads[0][2] - connect_end,
            "login": reads[1][2] - sends[0][1],
            "report and verdict": reads[2][2] - sends[1][1],
            "close": closes[0][2] - closes[0][1],
            "whole": closes[0][2] - seq[key_open][1],
        }


def main():
    per_thread = {}
    for tid, nr, start, end, arg in calls(sys.stdin):
        per_thread.setdefault(tid, []).append((nr, start, end, arg))
    stages = {}
    for seq in per_thread.values():
        for ex in exchanges(seq):
            for name, us in ex.items():
                stages.setdefault(name, []).append(us)
    if not stages:
        sys.exit("no exchange found in the trace")
    for name, values in stages.items():
        print(f"{name:20} {statistics.median(values):8.1f} us  (n={len(values)})")


if __name__ == "__main__":
    main()
