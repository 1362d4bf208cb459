#!/usr/bin/python3
"""Prints what an independent compound-file reader (Debian's python3-olefile) finds in a file,
one line per element, sorted, in the form the storage tests print their own tree:

    kind <TAB> path <TAB> clsid <TAB> state bits <TAB> ctime <TAB> mtime <TAB> size <TAB> crc32

path: the element names from the root, each as the hex of its UTF-16LE code units, joined by
'/'; the root is '.'. kind: 'root', 'storage' or 'stream'. clsid: 32 hex digits of the 16
stored bytes. A file the reader refuses prints 'error' and exits with status 3.
With --sector-size it prints the file's sector size instead; with --check-tree it checks that
every storage's children form a red-black tree in directory order (shorter names first, then by
upper-cased UTF-16 code units) and prints, for each file given, 'ok' or what is wrong. With several files, each file's
lines follow a line '#file N' (N counting from 0), and refusals print 'error' there.
"""
import sys
import zlib

import olefile


def main():
    args = sys.argv[1:]
    if args and args[0] == '--sector-size':
        ole = olefile.OleFileIO(args[1])
        print(ole.sectorsize)
        return 0
    if args and args[0] == '--check-tree':
        for path in args[1:]:
            check_tree(path)
        return 0
    if len(args) > 1:
        for index, path in enumerate(args):
            print('#file %d' % index)
            dump(path)
        return 0
    return dump(args[0])


def dump(path):
    try:
        lines = element_lines(path)
    except Exception as error:  # the reader's refusal is an answer too
        print('error', error)
        return 3
    for line in lines:
        print(line)
    return 0


def element_lines(path):
    """The file's elements, one line each, sorted (the reader's refusal raises)."""
    ole = olefile.OleFileIO(path)
    lines = []
    root = ole.root
    lines.append('\t'.join(['root', '.', root_clsid(ole, root), '%08x' % root.dwUserFlags,
                            '%d' % root.createTime, '%d' % root.modifyTime, '0', '00000000']))
    for names in ole.listdir(streams=True, storages=True):
        sid = ole._find(names)
        entry = ole.direntries[sid]
        hexpath = '/'.join(name.encode('utf-16-le').hex() for name in names)
        if entry.entry_type == olefile.STGTY_STREAM:
            data = ole.openstream(names).read()
            if len(data) != entry.size:
                raise IOError('short stream')
            kind = 'stream'
        else:
            data = None
            kind = 'storage'
        lines.append('\t'.join([kind, hexpath, root_clsid(ole, entry), '%08x' % entry.dwUserFlags,
                                '%d' % entry.createTime, '%d' % entry.modifyTime,
                                '%d' % (len(data) if data is not None else 0),
                                '%08x' % ((zlib.crc32(data) & 0xffffffff) if data is not None else 0)]))
    ole.close()
    return sorted(lines)


def check_tree(path):
    problems = tree_problems(path)
    print('\n'.join(problems) if problems else 'ok')
    return 0


def tree_problems(path):
    """What is wrong with the sibling trees of the file's storages (an empty list: nothing)."""
    ole = olefile.OleFileIO(path)
    entries = ole.direntries
    problems = []

    def key(sid):
        units = utf16_units(entries[sid])
        return (len(units), [upper_unit(unit) for unit in units])

    def walk(sid, depth, low, high):
        # Returns the black height of the subtree; checks order and colours on the way.
        if sid == olefile.NOSTREAM:
            return 1
        entry = entries[sid]
        k = key(sid)
        if (low is not None and not low < k) or (high is not None and not k < high):
            problems.append('order broken at %r' % entry.name)
        left = walk(entry.sid_left, depth + 1, low, k)
        right = walk(entry.sid_right, depth + 1, k, high)
        if left != right:
            problems.append('black heights differ at %r' % entry.name)
        red = entry.color == 0
        for child in (entry.sid_left, entry.sid_right):
            if red and child != olefile.NOSTREAM and entries[child].color == 0:
                problems.append('red child of red %r' % entry.name)
        return left + (0 if red else 1)

    for entry in entries:
        if entry is None or entry.entry_type not in (olefile.STGTY_STORAGE, olefile.STGTY_ROOT):
            continue
        top = entry.sid_child
        if top != olefile.NOSTREAM and entries[top].color == 0:
            problems.append('red top of %r' % entry.name)
        walk(top, 0, None, None)
    return problems


def utf16_units(entry):
    """The stored name's UTF-16 code units (surrogates as they are)."""
    raw = getattr(entry, 'name_utf16', None)
    if raw is None:
        raw = entry.name.encode('utf-16-le', 'surrogatepass')
    return [raw[i] | (raw[i + 1] << 8) for i in range(0, len(raw) - 1, 2)]


def upper_unit(unit):
    """A code unit upper-cased as the format compares names: unit by unit, a letter to its one
    capital; surrogates, and letters whose capital is not one unit, as they are."""
    if 0xD800 <= unit <= 0xDFFF:
        return unit
    upper = chr(unit).upper()
    return ord(upper) if len(upper) == 1 and ord(upper) <= 0xFFFF else unit


def root_clsid(ole, entry):
    return clsid_bytes(entry.clsid)


def clsid_bytes(text):
    if not text:
        return '0' * 32
    # olefile's text form: XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX (Data1..Data3 little-endian).
    parts = text.split('-')
    d1 = bytes.fromhex(parts[0])[::-1]
    d2 = bytes.fromhex(parts[1])[::-1]
    d3 = bytes.fromhex(parts[2])[::-1]
    rest = bytes.fromhex(parts[3] + parts[4])
    return (d1 + d2 + d3 + rest).hex()


if __name__ == '__main__':
    sys.exit(main())
