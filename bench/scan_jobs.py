#!/usr/bin/python3
"""Files per second of `cardhost scan` on 1, 2, 4 ... jobs, in one run on one tree.

Builds a tree of COPIES copies of the sample messages (folders of 500 files), then runs
`cardhost scan --json DIR --jobs N` on it for each N (best of TRIES runs, the files already read
once so the cache holds them), and prints the files per second of each and their ratio to one
job, with the machine's load before and after.

Usage: bench/scan_jobs.py [--build DIR] [--corpus DIR] [--copies 20000] [--jobs 1,2,4] [--tries 3]
       [--tree DIR] (an existing tree: nothing is built or removed)
"""
import glob
import os
import resource
import shutil
import subprocess
import sys
import tempfile
import time

import bench_host


def build_tree(corpus, copies, target):
    samples = [p for p in sorted(glob.glob(os.path.join(corpus, "**", "*.msg"), recursive=True))
               if os.path.getsize(p) > 0]
    if not samples:
        sys.exit("no sample messages in %s" % corpus)
    for i in range(copies):
        folder = os.path.join(target, "%04d" % (i // 500))
        if i % 500 == 0:
            os.makedirs(folder)
        copy = os.path.join(folder, "%06d-%s" % (i, os.path.basename(samples[i % len(samples)])))
        shutil.copyfile(samples[i % len(samples)], copy)
        os.chmod(copy, 0o600)


def run(command, env):
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.perf_counter()
    result = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, env=env, check=False)
    wall = time.perf_counter() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    return wall, cpu, result.stdout.count(b"\n")


def main():
    parser = bench_host.argument_parser()
    parser.add_argument("--copies", type=int, default=20000)
    parser.add_argument("--jobs", default="1,2,4")
    parser.add_argument("--tries", type=int, default=3)
    parser.add_argument("--tree")
    args = parser.parse_args()
    cardhost, module = bench_host.built_host(args.build)

    work = tempfile.mkdtemp()
    try:
        tree = args.tree or os.path.join(work, "tree")
        if not args.tree:
            build_tree(args.corpus, args.copies, tree)
        env = bench_host.private_environment(work)

        def scan(jobs):
            return [cardhost, "--module", module, "scan", "--json", "--jobs", str(jobs), tree]

        run(scan(1), env)  # the files into the cache
        print("tree: %s, load: %.2f %.2f %.2f, processors: %d" % ((tree,) + os.getloadavg() + (os.cpu_count(),)))
        rates = {}
        for jobs in [int(j) for j in args.jobs.split(",")]:
            best = None
            for _ in range(args.tries):
                wall, cpu, lines = run(scan(jobs), env)
                if best is None or wall < best[0]:
                    best = (wall, cpu, lines)
            rates[jobs] = best[2] / best[0]
            print("jobs %2d: %6d files in %6.2f s wall, %6.2f s processor: %8.0f files/s (%.2f x one job)"
                  % (jobs, best[2], best[0], best[1], rates[jobs], rates[jobs] / rates.get(1, rates[jobs])))
        print("load: %.2f %.2f %.2f" % os.getloadavg())
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
