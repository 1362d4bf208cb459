#!/usr/bin/python3
"""Where one card's instructions go, by component, under callgrind.

Runs msgplugin_bench in its profile mode (MSGPLUGIN_BENCH_PROFILE) under callgrind, collecting
only inside the benchmark's card read, and prints the instructions per card: the total, each
component's own instructions (module, message store, storage, OLE Automation and kernel
stand-ins, allocator, C library, the benchmark itself), the functions with the most of their own,
and the inclusive cost of the card's main steps. (callgrind counts a string instruction once per
byte it moves: a memcpy of n bytes by `rep movsb` shows as about n instructions.)

A card's cost is measured as the difference between a run of 2 x ROUNDS cards and one of ROUNDS:
what the process does once (a code page's tables, the first registry look-up) is left out.

Usage: bench/card_profile.py [--build DIR] [--sample Simple] [--rounds 200] [--keep FILE]
"""
import argparse
import os
import re
import subprocess
import sys
import tempfile

# The first pattern that matches a function's name (or its object file) names its component.
COMPONENTS = [
    ("allocator", r"(^|[^A-Za-z])(malloc|free|_int_malloc|_int_free|malloc_consolidate|calloc|realloc|"
                  r"operator new|operator delete|tcache|unlink_chunk|cfree)"),
    ("benchmark", r"^\(anonymous namespace\)::|^main$|CardRequests"),
    ("module", r"msgplugin::"),
    ("message store", r"platform::mapi::|^MAPI|^OpenIMsgOnIStg|^HrQueryAllRows|^FreeProws|^HrGetOneProp|"
                      r"^ScInitMapiUtil|^CoTaskMem"),
    ("storage", r"platform::storage::|^Stg"),
    ("OLE Automation", r"platform::oleaut::|^SysAlloc|^SysFree|^SysString|^Variant|^SystemTimeToVariantTime|"
                       r"^VariantTimeToSystemTime"),
    ("kernel", r"platform::kernel::|platform::names::|platform::clock::|^MultiByteToWideChar|^WideCharToMultiByte|"
               r"^FileTime|^SystemTime|^LocalFileTime|^GetLocalTime|^GetSystemTime|^HeapAlloc|^HeapFree|"
               r"^HeapReAlloc|^GetProcessHeap|^Enter|^Leave|^Initialize|^Delete|platform::fault|platform::testing"),
    ("C and C++ libraries", r"\[.*lib(c|stdc\+\+|m|gcc_s)\.so"),
]

STEPS = [
    "StgOpenStorage",
    "OpenIMsgOnIStg",
    "PropObject<IMessage, IID_IMessage>::GetProps",
    "Message::GetAttachmentTable",
    "HrQueryAllRows",
    "Message::OpenAttach",
    "PropObject<IAttach, IID_IAttachment>::GetProps",
    "CMsgFile::ReadVariables",
    "CMsgFile::mbGetBodyProperty",
    "ComObject<msgplugin::CMsgFile>::Release",
]

LINE = re.compile(r"^\s*([\d,]+)\s+\([\s\d.]+%\)\s+(.*)$")


def annotate(path, inclusive):
    out = subprocess.run(["callgrind_annotate", "--threshold=100", "--inclusive=" + ("yes" if inclusive else "no"),
                          path], check=True, capture_output=True, text=True).stdout
    rows = []
    started = False
    for line in out.splitlines():
        if "file:function" in line:
            started = True
            continue
        if not started:
            continue
        m = LINE.match(line)
        if m:
            rows.append((int(m.group(1).replace(",", "")), m.group(2)))
    return rows


def function_name(entry):
    # "file:function [object]"; the file part may be "???".
    name = entry
    if " [" in name:
        name = name[:name.rindex(" [")]
    if ":" in name and not name.startswith("???:"):
        name = name.split(":", 1)[1] if not name.split(":", 1)[0].endswith(")") else name
    return name[4:] if name.startswith("???:") else name


def component(entry):
    name = function_name(entry)
    for label, pattern in COMPONENTS:
        if re.search(pattern, name) or (label == "C and C++ libraries" and re.search(pattern, entry)):
            return label
    return "other"


def main():
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=os.path.join(root, "build", "release"))
    parser.add_argument("--sample", default="Simple")
    parser.add_argument("--rounds", type=int, default=200)
    parser.add_argument("--keep", help="keep the callgrind output in this file")
    args = parser.parse_args()
    bench = os.path.join(args.build, "bench", "msgplugin_bench")
    if not os.access(bench, os.X_OK):
        sys.exit("build msgplugin_bench in %s first" % args.build)
    runs = {}
    for rounds in (args.rounds, 2 * args.rounds):
        out = tempfile.mktemp(prefix="card_profile.", suffix=".callgrind")
        env = dict(os.environ, MSGPLUGIN_BENCH_PROFILE=str(rounds), MSGPLUGIN_BENCH_SAMPLE=args.sample)
        subprocess.run(["valgrind", "--tool=callgrind", "--toggle-collect=*ReadCard*", "--callgrind-out-file=" + out,
                        bench], env=env, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            runs[rounds] = (dict((entry, cost) for cost, entry in annotate(out, False)),
                            dict((entry, cost) for cost, entry in annotate(out, True)))
        finally:
            if args.keep and rounds == 2 * args.rounds:
                os.replace(out, args.keep)
            else:
                os.unlink(out)

    def per_card(which):
        # What the second ROUNDS cards added, entry by entry.
        fewer, more = runs[args.rounds][which], runs[2 * args.rounds][which]
        return [(more[entry] - fewer.get(entry, 0), entry) for entry in more]

    own = per_card(0)
    total = sum(cost for cost, _ in own)
    buckets = {}
    for cost, entry in own:
        buckets[component(entry)] = buckets.get(component(entry), 0) + cost
    print("sample %s: %.0f instructions per card (cards %d to %d)"
          % (args.sample, total / args.rounds, args.rounds + 1, 2 * args.rounds))
    print("\nown instructions by component, per card:")
    for label, cost in sorted(buckets.items(), key=lambda item: -item[1]):
        print("  %-22s %8.0f  %5.1f%%" % (label, cost / args.rounds, 100.0 * cost / total))
    print("\nthe functions with the most own instructions, per card:")
    for cost, entry in sorted(own, key=lambda row: -row[0])[:12]:
        print("  %8.0f  %s" % (cost / args.rounds, function_name(entry)[:100]))
    print("\ninclusive instructions of the card's steps, per card:")
    inclusive = per_card(1)
    for step in STEPS:
        # The function itself, or where only a thunk is named (a virtual call), the thunk.
        costs = [(c, "thunk" in entry) for c, entry in inclusive if step in function_name(entry)]
        direct = [c for c, thunk in costs if not thunk]
        cost = max(direct or [c for c, _ in costs] or [0])
        print("  %-40s %8.0f" % (step, cost / args.rounds))

if __name__ == "__main__":
    main()
