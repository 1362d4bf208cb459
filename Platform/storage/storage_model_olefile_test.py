#!/usr/bin/python3
"""The final files of the storage's model test, read by an independent reader (Debian's
python3-olefile): each holds what the model says (every element's kind, path, class, state bits,
size and CRC-32; the times are left out, as the model does not foresee them), and every storage's
children form a sound red-black tree in the format's order.

    storage_model_olefile_test.py --model-test PATH [--sequences N] [--seed N]

It runs the model test (both versions) with MSGPLUGIN_MODEL_KEEP set, then reads what it kept.
"""
import argparse
import os
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import olefile_dump  # noqa: E402


def without_times(line):
    fields = line.split('\t')
    return '\t'.join(fields[:4] + fields[6:])


def has_surrogate(hexpath):
    """Whether a path (names as the hex of their UTF-16LE units, joined by '/') holds a surrogate."""
    for name in hexpath.split('/'):
        for i in range(0, len(name) - 3, 4):
            if 0xD800 <= int(name[i + 2:i + 4] + name[i:i + 2], 16) <= 0xDFFF:
                return True
    return False


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument('--model-test', required=True)
    parser.add_argument('--sequences', type=int, default=150)
    parser.add_argument('--seed', type=int, default=1)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix='storage-model-olefile-') as kept:
        environment = dict(os.environ, MSGPLUGIN_MODEL_KEEP=kept, MSGPLUGIN_MODEL_SEQUENCES=str(args.sequences),
                           MSGPLUGIN_MODEL_SEED=str(args.seed))
        run = subprocess.run([args.model_test, '--gtest_filter=StorageModel.*'], env=environment,
                             stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        if run.returncode != 0:
            print(run.stdout)
            print('the model test failed')
            return 1
        files = sorted(name for name in os.listdir(kept) if name.endswith('.msg'))
        if len(files) != 2 * args.sequences:
            print('expected %d files, found %d' % (2 * args.sequences, len(files)))
            return 1
        failures = 0
        outside_bmp = 0
        for name in files:
            path = os.path.join(kept, name)
            with open(path[:-4] + '.expected', encoding='ascii') as expected_file:
                expected = sorted(line.rstrip('\n') for line in expected_file)
            try:
                found = sorted(without_times(line) for line in olefile_dump.element_lines(path))
                problems = olefile_dump.tree_problems(path)
            except Exception as error:  # a refusal is a failure like any other
                found, problems = [], ['olefile refuses the file: %s' % error]
            if any(has_surrogate(line.split('\t')[1]) for line in expected):
                outside_bmp += 1
            if found != expected or problems:
                failures += 1
                if failures <= 5:
                    print('%s differs from the model:' % name)
                    for line in sorted(set(expected) - set(found))[:5]:
                        print('  expected but not found: ' + line)
                    for line in sorted(set(found) - set(expected))[:5]:
                        print('  found but not expected: ' + line)
                    for problem in problems[:5]:
                        print('  tree: ' + problem)
        print('%d files read by olefile, %d with names outside the Basic Multilingual Plane, %d differ'
              % (len(files), outside_bmp, failures))
        return 1 if failures or outside_bmp == 0 else 0


if __name__ == '__main__':
    sys.exit(main())
