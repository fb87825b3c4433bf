#!/usr/bin/env python3
"""Starts the installer and the floor program alternately under Wine and reads the first-frame
mark each leaves (see bench/window/run)."""
import argparse
import os
import statistics
import subprocess
import time


def one_run(args, program):
    mark = os.path.join(args.work, "first-frame.txt")
    if os.path.exists(mark):
        os.remove(mark)
    env = dict(os.environ, QUORVEX_FIRST_FRAME="Z:" + mark.replace("/", "\\"))
    launched = time.time_ns()
    subprocess.run([args.wine_env, "exec", "wine", program], env=env, stdin=subprocess.DEVNULL,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=120, check=False)
    try:
        with open(mark) as text:
            fields = text.read().split()
    except FileNotFoundError:
        raise SystemExit(f"bench: {os.path.basename(program)} left no first-frame mark")
    frame, created = int(fields[1]), int(fields[3])
    return (frame - launched) / 1e6, (frame - created) / 1e6


def main():
    parser = argparse.ArgumentParser()
    for name in ("wine-env", "work", "installer", "floor", "floor-preloads"):
        parser.add_argument("--" + name, required=True)
    parser.add_argument("--runs", type=int, default=15)
    args = parser.parse_args()
    programs = {"installer": args.installer, "floor": args.floor, "floor+preloads": args.floor_preloads}
    times = {name: ([], []) for name in programs}
    for name in programs:  # a round not counted: the prefix's files in the page cache
        one_run(args, programs[name])
    for round_number in range(args.runs):
        order = list(programs)[round_number % 3:] + list(programs)[:round_number % 3]
        for name in order:
            launch, process = one_run(args, programs[name])
            times[name][0].append(launch)
            times[name][1].append(process)
    med = statistics.median
    print(f"time to the first frame under Wine, {args.runs} rounds, medians in ms")
    for label, index in (("from the launch", 0), ("from the process's creation", 1)):
        installer, floor = med(times["installer"][index]), med(times["floor"][index])
        preloads = med(times["floor+preloads"][index])
        print(f"  {label}: installer {installer:6.1f}   floor {floor:6.1f}   ratio {installer / floor:.2f}"
              f"   (floor+preloads {preloads:6.1f}, installer / that {installer / preloads:.2f})")
        for name in programs:
            print(f"    {name:<15} runs: " + " ".join(f"{value:.0f}" for value in times[name][index]))


if __name__ == "__main__":
    main()
