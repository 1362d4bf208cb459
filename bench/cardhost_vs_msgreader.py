#!/usr/bin/python3
"""The host's card beside an independent reader, in one run on the same files.

`cardhost show --json --full` reads every sample message ROUNDS times in one process; npm's
@kenjiuno/msgreader (tools/node) reads the same files as many times in one node process
(getFileData, one JSON line per file, as cardhost prints). Each tool also runs with a single
round; the difference divided by ROUNDS x files is the cost of one file, start-up and the first
(cold) round left out. Both wall-clock time and processor time (user + system, which another
program's load disturbs less) are given; the best of TRIES runs counts.

Any folder of messages may be compared instead of the samples: name it on the command line
(its .msg files below it, in any case, the first LIMIT of them in name order; each is copied to a
temporary folder first, so the archive itself is only read).

Usage: bench/cardhost_vs_msgreader.py [FOLDER] [--build DIR] [--corpus DIR] [--rounds 20] [--tries 3]
       [--limit 1000]
"""
import os
import resource
import shutil
import subprocess
import sys
import tempfile
import time

import bench_host

READER = r"""
const fs = require('fs');
const MsgReader = require(process.argv[2] + '/@kenjiuno/msgreader').default;
const rounds = Number(process.argv[3]);
const files = process.argv.slice(4);
const out = [];
for (let round = 0; round < rounds; ++round) {
  for (const file of files) {
    try {
      const data = new MsgReader(fs.readFileSync(file)).getFileData();
      out.push(JSON.stringify({ file, subject: data.subject, senderName: data.senderName,
        body: data.body, recipients: (data.recipients || []).map((r) => r.name),
        attachments: (data.attachments || []).map((a) => a.fileName) }));
    } catch (e) {
      out.push(JSON.stringify({ file, error: String(e) }));
    }
    if (out.length >= 256) { fs.writeSync(1, out.join('\n') + '\n'); out.length = 0; }
  }
}
if (out.length) fs.writeSync(1, out.join('\n') + '\n');
"""


def measure(command, tries, env):
    """Best (wall seconds, processor seconds) of `tries` runs."""
    best_wall = best_cpu = None
    for _ in range(tries):
        before = resource.getrusage(resource.RUSAGE_CHILDREN)
        start = time.perf_counter()
        subprocess.run(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=env, check=False)
        wall = time.perf_counter() - start
        after = resource.getrusage(resource.RUSAGE_CHILDREN)
        cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
        best_wall = wall if best_wall is None else min(best_wall, wall)
        best_cpu = cpu if best_cpu is None else min(best_cpu, cpu)
    return best_wall, best_cpu


def main():
    parser = bench_host.argument_parser()
    parser.add_argument("folder", nargs="?", help="a folder of messages to compare on (default: --corpus)")
    parser.add_argument("--limit", type=int, default=1000,
                        help="at most this many files (the command lines hold them all, ROUNDS times)")
    parser.add_argument("--rounds", type=int, default=20)
    parser.add_argument("--tries", type=int, default=3)
    args = parser.parse_args()
    folder = args.folder or args.corpus
    if not os.path.isdir(folder):
        sys.exit("%s is not a folder" % folder)
    cardhost, module = bench_host.built_host(args.build)
    node_modules = os.path.join(bench_host.ROOT, "tools", "node", "node_modules")
    if not os.path.isdir(os.path.join(node_modules, "@kenjiuno", "msgreader")):
        sys.exit("run tools/install-deps.sh first")

    work = tempfile.mkdtemp()
    try:
        files = []
        found = sorted((os.path.join(root, name) for root, _, names in os.walk(folder) for name in names
                        if name.lower().endswith(".msg")), key=os.fsencode)
        for path in found:
            if len(files) == args.limit:
                break
            if not os.path.isfile(path) or os.path.getsize(path) == 0:
                continue  # no message
            copy = os.path.join(work, "%06d-%s" % (len(files), os.path.basename(path)))
            shutil.copyfile(path, copy)  # writable: the plug-in opens files for writing
            os.chmod(copy, 0o600)
            files.append(copy)
        reader = os.path.join(work, "msgreader.js")
        with open(reader, "w") as out:
            out.write(READER)
        env = bench_host.private_environment(work)

        def card(rounds):
            return [cardhost, "show", "--json", "--full", "--module", module] + files * rounds

        def msgreader(rounds):
            return ["node", reader, node_modules, str(rounds)] + files

        if not files:
            sys.exit("no messages in %s" % folder)
        print("folder: %s, files: %d of %d, rounds: %d, load: %.2f %.2f %.2f"
              % ((folder, len(files), len(found), args.rounds) + os.getloadavg()))
        per_file = {}
        for name, command in (("cardhost show --json --full", card), ("msgreader getFileData", msgreader)):
            one = measure(command(1), args.tries, env)
            many = measure(command(args.rounds + 1), args.tries, env)
            per_file[name] = [(m - o) / (args.rounds * len(files)) * 1e6 for m, o in zip(many, one)]
            print("%-28s %8.1f us per file wall, %8.1f us processor (one round with start-up: %.3f s)"
                  % (name + ":", per_file[name][0], per_file[name][1], one[0]))
        card_cost, reader_cost = per_file["cardhost show --json --full"], per_file["msgreader getFileData"]
        print("cardhost is %.1f times faster per file (wall), %.1f times (processor)"
              % (reader_cost[0] / card_cost[0], reader_cost[1] / card_cost[1]))
        print("load: %.2f %.2f %.2f" % os.getloadavg())
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
