#!/usr/bin/env python3
"""Soak of cardhost.exe under Wine: one process reads 20,000 cards (`cardhost.exe scan` over a
folder of that many links to copies of the sample messages), on the stand-in mapi32. Every 2,000
cards the script reports the Windows process's resident memory and its open descriptors (Wine
keeps a descriptor per open file handle, so a handle left open shows there); after the first
2,000 the memory may grow by at most 1 MB and the descriptors not at all.

    bench/cardhost_wine_soak.py [--cards N] [--build build/windows] [--corpus ../shared/corpus]

The Windows build must be there (cmake --preset windows && cmake --build --preset windows); the
script uses its Wine prefix, or a fresh one in a temporary folder when there is none."""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

ALLOWED_GROWTH_KB = 1024


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def resident_kb(pid):
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def descriptors(pid, work):
    """Open descriptors, but for the one message the process may be reading at that moment (a
    handle left open to an earlier message still counts)."""
    messages = other = 0
    for fd in os.listdir(f"/proc/{pid}/fd"):
        try:
            target = os.readlink(f"/proc/{pid}/fd/{fd}")
        except OSError:
            continue
        if target.startswith(work) and target.endswith(".msg"):
            messages += 1
        else:
            other += 1
    return other + max(messages - 1, 0)


def windows_process(marker):
    """The pid of the Wine process whose command line holds `marker` (this run's own folder):
    Wine's loader replaces itself with the Windows program."""
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/cmdline", "rb") as f:
                command = f.read().replace(b"\0", b" ").decode(errors="replace")
            if "cardhost.exe" in command and marker in command and "run.sh" not in command:
                return int(entry)
        except OSError:
            continue
    return None


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    source = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    parser.add_argument("--cards", type=int, default=20000)
    parser.add_argument("--build", default=os.path.join(source, "build", "windows"))
    parser.add_argument("--corpus", default=os.path.join(source, "..", "shared", "corpus"))
    args = parser.parse_args()
    step = max(args.cards // 10, 1)

    binaries = os.path.join(args.build, "bin")
    cardhost = os.path.join(binaries, "cardhost.exe")
    for needed in ("cardhost.exe", "MsgPlugin.dll", "mapi32.dll"):
        if not os.path.exists(os.path.join(binaries, needed)):
            sys.exit(f"{os.path.join(binaries, needed)} is missing: build the windows preset first")

    work = tempfile.mkdtemp(prefix="cardhost_wine_soak_")
    try:
        env = dict(os.environ)
        prefix = os.path.join(args.build, "wineprefix")
        if not os.path.exists(os.path.join(prefix, "system.reg")):
            prefix = os.path.join(work, "wineprefix")
            subprocess.run([os.path.join(source, "tools", "wine", "fresh-prefix.sh"), prefix], check=True,
                           capture_output=True)
        env.update({"WINEPREFIX": prefix, "WINEDLLOVERRIDES": "mapi32=n",
                    "XDG_DATA_HOME": os.path.join(work, "data")})

        # Copies of the samples (the plug-in opens files for writing), then the cards as links.
        copies = []
        for folder, _, files in sorted(os.walk(args.corpus)):
            for name in sorted(files):
                if name.lower().endswith(".msg"):
                    copy = os.path.join(work, f"s{len(copies)}.msg")
                    shutil.copyfile(os.path.join(folder, name), copy)
                    os.chmod(copy, 0o600)
                    copies.append(copy)
        cards = os.path.join(work, "cards")
        os.mkdir(cards)
        for n in range(args.cards):
            os.link(copies[n % len(copies)], os.path.join(cards, f"{n:06d}.msg"))

        command = [os.path.join(source, "tools", "wine", "run.sh"), cardhost,
                   "--module", windows_path(os.path.join(binaries, "MsgPlugin.dll")), "scan", windows_path(cards)]
        started = time.time()
        process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)
        print(f"{'cards':>8} {'resident KB':>12} {'growth KB':>10} {'fds':>6} {'seconds':>8}")
        seen = failed = 0
        base_resident = base_fds = None
        growth = fd_change = 0
        pid = None
        for line in process.stdout:
            seen += 1
            if line.startswith(b"FAILED"):
                failed += 1
            if seen % step or seen == args.cards:  # the last line: the process is ending
                continue
            if pid is None:
                pid = windows_process(windows_path(cards))
                if pid is None:
                    sys.exit("the cardhost.exe process was not found")
                with open(f"/proc/{pid}/cmdline", "rb") as f:
                    print("process", pid, f.read().replace(b"\0", b" ").decode(errors="replace")[:100])
            resident, fds = resident_kb(pid), descriptors(pid, work)
            if base_resident is None:
                base_resident, base_fds = resident, fds
            growth = max(growth, resident - base_resident)
            fd_change = max(fd_change, abs(fds - base_fds))
            print(f"{seen:8} {resident:12} {resident - base_resident:10} {fds:6} {time.time() - started:8.1f}",
                  flush=True)
        process.wait()
        summary = process.stderr.read().decode(errors="replace").strip().splitlines()
        print(summary[0] if summary else "")
        print(f"cards {seen}, failed {failed}, growth after the first {step}: {growth} KB, "
              f"descriptors changed by {fd_change}")
        ok = seen == args.cards and growth <= ALLOWED_GROWTH_KB and fd_change == 0
        print("within bounds" if ok else "OUT OF BOUNDS")
        return 0 if ok else 1
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
