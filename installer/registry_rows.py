"""The installer's registry rows, made from what the module registers itself with, so that the
registration is written once: the two class scripts (the .rgs resources, "%MODULE%" becoming the
installed file), the proxy/stub of the interface definition's object interfaces, the compiled type
library, and the mail-client value.

    registry_rows.py --rgs A.rgs --rgs B.rgs --idl MsgPlugin.idl --typelib MsgPlugin.tlb \
        --file-id MsgPlugin.dll --output rows.wxi

Every key goes under HKEY_LOCAL_MACHINE (HKEY_CLASSES_ROOT's machine part), as registration is
machine-wide. The output is a WiX include of RegistryValue elements for the component that
installs the file; --list prints the same rows as "KEY|NAME|VALUE" lines instead.
"""
import argparse
import re
import struct
import sys
from xml.sax.saxutils import quoteattr

CLASSES = "SOFTWARE\\Classes"
MAPI_APPS = ("SOFTWARE\\Microsoft\\Windows Messaging Subsystem\\MSMapiApps", "MsgPlugin.dll", "Microsoft Outlook")
KEY_ONLY = "*"  # a key without values: created at install, removed with all below it at uninstall


class ScriptError(Exception):
    pass


def tokens(text):
    """The registrar script's tokens: braces, '=', quoted texts and bare words (a class id in
    braces is one word)."""
    for match in re.finditer(r"\s*(?:(\{[0-9A-Fa-f-]{36}\})|([{}=])|'((?:[^']|'')*)'|([^\s{}=']+))", text):
        guid, brace, quoted, word = match.groups()
        if guid:
            yield ("word", guid)
        elif brace:
            yield ("punct", brace)
        elif quoted is not None:
            yield ("text", quoted.replace("''", "'"))
        elif word:
            yield ("word", word)


def parse_script(text, module):
    """The rows of one class script: (key under HKEY_CLASSES_ROOT, value name or "" or KEY_ONLY,
    value text)."""
    stream = list(tokens(text))
    position = 0

    def take(kind=None, value=None):
        nonlocal position
        if position >= len(stream):
            raise ScriptError("the script ends early")
        token = stream[position]
        if (kind and token[0] != kind) or (value and token[1] != value):
            raise ScriptError("unexpected %r" % (token,))
        position += 1
        return token

    def peek():
        return stream[position] if position < len(stream) else (None, None)

    def value_text():
        kind = take("word")[1]
        if kind != "s":
            raise ScriptError("only string values are supported, not %r" % kind)
        return take("text")[1].replace("%MODULE%", module)

    rows = []

    def key_body(path):
        """Rows of a key's block; True when anything below the key has a value."""
        has_values = False
        take("punct", "{")
        while peek() != ("punct", "}"):
            if peek() == ("word", "val"):
                take()
                name = take()[1]
                take("punct", "=")
                rows.append((path, name, value_text()))
                has_values = True
            else:
                has_values |= key(path)
        take("punct", "}")
        return has_values

    def key(parent):
        flag = None
        if peek()[0] == "word" and peek()[1] in ("NoRemove", "ForceRemove", "Delete"):
            flag = take()[1]
        if flag == "Delete":
            raise ScriptError("Delete keys are not supported")
        name = take()[1]
        path = parent + "\\" + name if parent else name
        has_values = False
        if peek() == ("punct", "="):
            take()
            rows.append((path, "", value_text()))
            has_values = True
        if peek() == ("punct", "{"):
            has_values |= key_body(path)
        if not has_values and flag != "NoRemove":
            rows.append((path, KEY_ONLY, ""))
        return has_values or flag == "NoRemove"

    root = take("word")[1]
    if root != "HKCR":
        raise ScriptError("only HKCR scripts are supported, not %r" % root)
    key_body("")
    if position != len(stream):
        raise ScriptError("text after the script's end")
    return rows


def object_interfaces(idl):
    """(name, iid, number of methods) of each object interface of an interface definition."""
    found = []
    pattern = re.compile(r"\[([^\]]*)\]\s*interface\s+(\w+)\s*:\s*(\w+)\s*\{([^}]*)\}", re.S)
    for attributes, name, base, body in pattern.findall(idl):
        if not re.search(r"\bobject\b", attributes):
            continue
        if base != "IUnknown":
            raise ScriptError("%s derives from %s: only IUnknown's three methods are counted" % (name, base))
        iid = re.search(r"uuid\(([0-9A-Fa-f-]+)\)", attributes).group(1).upper()
        found.append((name, "{%s}" % iid, 3 + body.count(";")))
    return found


def library(idl):
    """The type library's id and help string."""
    match = re.search(r"\[([^\]]*)\]\s*library\s+\w+", idl, re.S)
    attributes = match.group(1)
    libid = re.search(r"uuid\(([0-9A-Fa-f-]+)\)", attributes).group(1).upper()
    help_string = re.search(r'helpstring\("([^"]*)"\)', attributes).group(1)
    return "{%s}" % libid, help_string


LIBFLAG_FHASDISKIMAGE = 8


def typelib_header(path):
    """The locale, version and flags under which a compiled (MSFT) type library is registered: its
    library locale, and its flags with LIBFLAG_FHASDISKIMAGE, which a library loaded from its file
    has."""
    with open(path, "rb") as f:
        header = f.read(0x20)
    magic, _magic2, _posguid, _lcid, lcid, _varflags, version, flags = struct.unpack("<4sIiiiiIi", header)
    if magic != b"MSFT":
        raise ScriptError("%s is not a compiled type library" % path)
    return lcid, version & 0xFFFF, version >> 16, flags | LIBFLAG_FHASDISKIMAGE


def rows(scripts, idl_text, typelib, file_reference, folder_reference):
    """Every row: (root-relative key under HKEY_LOCAL_MACHINE, name, value)."""
    out = []
    for script in scripts:
        for key, name, value in parse_script(script, file_reference):
            out.append((CLASSES + "\\" + key, name, value))
    interfaces = object_interfaces(idl_text)
    proxy_class = interfaces[0][1]  # the module serves its proxy/stub under its first interface's id
    for name, iid, methods in interfaces:
        key = CLASSES + "\\Interface\\" + iid
        out.append((key, "", name))
        out.append((key + "\\ProxyStubClsid32", "", proxy_class))
        out.append((key + "\\NumMethods", "", str(methods)))
    key = CLASSES + "\\CLSID\\" + proxy_class
    out.append((key, "", "PSFactoryBuffer"))
    out.append((key + "\\InProcServer32", "", file_reference))
    out.append((key + "\\InProcServer32", "ThreadingModel", "Both"))
    libid, help_string = library(idl_text)
    lcid, major, minor, flags = typelib_header(typelib)
    key = "%s\\TypeLib\\%s\\%x.%x" % (CLASSES, libid, major, minor)
    out.append((key, "", help_string))
    out.append((key + "\\%x\\win64" % lcid, "", file_reference))
    out.append((key + "\\FLAGS", "", "%d" % flags))
    out.append((key + "\\HELPDIR", "", folder_reference))
    out.append(MAPI_APPS)
    return out


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rgs", action="append", required=True)
    parser.add_argument("--idl", required=True)
    parser.add_argument("--typelib", required=True)
    parser.add_argument("--file-id", required=True, help="the File element's id of the module")
    parser.add_argument("--folder-id", default="INSTALLDIR", help="the Directory element's id of its folder")
    parser.add_argument("--output", required=True)
    parser.add_argument("--list", action="store_true", help="KEY|NAME|VALUE lines instead of WiX")
    args = parser.parse_args()
    scripts = []
    for path in args.rgs:
        with open(path, encoding="utf-8") as f:
            scripts.append(f.read())
    with open(args.idl, encoding="utf-8") as f:
        idl_text = f.read()
    try:
        table = rows(scripts, idl_text, args.typelib, "[#%s]" % args.file_id, "[%s]" % args.folder_id)
    except ScriptError as problem:
        sys.exit("registry_rows.py: %s" % problem)
    seen = set()
    for key, name, _ in table:
        if (key.lower(), name.lower()) in seen:
            sys.exit("registry_rows.py: %s [%s] written twice" % (key, name))
        seen.add((key.lower(), name.lower()))
    with open(args.output, "w", encoding="utf-8", newline="\n") as out:
        if args.list:
            for row in table:
                out.write("|".join(row) + "\n")
            return
        out.write('<?xml version="1.0" encoding="utf-8"?>\n'
                  "<!-- Made by registry_rows.py from the module's registration; not edited by hand. -->\n"
                  "<Include>\n")
        for key, name, value in table:
            attributes = 'Root="HKLM" Key=%s' % quoteattr(key)
            if name:
                attributes += " Name=%s" % quoteattr(name)
            attributes += ' Type="string" Value=%s' % quoteattr(value)
            out.write("  <RegistryValue %s/>\n" % attributes)
        out.write("</Include>\n")


if __name__ == "__main__":
    main()
