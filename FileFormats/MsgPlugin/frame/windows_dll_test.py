"""MsgPlugin.dll as it is shipped, read from its file with the MinGW-w64 binutils: which function
each mapi32 and msi ordinal binds to, what runs in the host's process besides the module's own code
(no threads library of the compiler's, no exception handler), stripped with its symbols beside it,
subsystem Windows, no test hooks, and one version in the DLL, cardhost.exe and the installer."""
import argparse
import os
import re
import struct
import subprocess
import sys
import unittest

ARGS = None
# The MAPI and Windows Installer functions the module calls, by the ordinals of an x64 mapi32.dll
# and msi.dll.
MAPI_ORDINALS = {
    "MAPIAllocateBuffer": 13, "MAPIAllocateMore": 15, "MAPIFreeBuffer": 17, "MAPIInitialize": 21,
    "MAPIUninitialize": 23, "MAPIGetDefaultMalloc": 59, "HrQueryAllRows": 75, "HrGetOneProp": 135,
    "OpenIMsgOnIStg": 198,
}
MSI_ORDINALS = {"MsiProvideQualifiedComponentW": 109}
# The C runtime's own thread-local storage callbacks (its dynamic initialisers and per-thread key
# destructors); nothing else may run on the host's threads.
RUNTIME_TLS_CALLBACKS = {"__dyn_tls_init", "__dyn_tls_dtor"}


def run(*command):
    return subprocess.run(command, capture_output=True, text=True, check=True).stdout


class PeFile:
    """The headers, sections and a few directories of a 64-bit PE file."""

    def __init__(self, path):
        with open(path, "rb") as f:
            self.data = f.read()
        pe = struct.unpack_from("<I", self.data, 0x3C)[0]
        assert self.data[pe:pe + 4] == b"PE\0\0"
        sections, optional_size = struct.unpack_from("<2xH12xH", self.data, pe + 4)
        optional = pe + 24
        assert struct.unpack_from("<H", self.data, optional)[0] == 0x20B
        self.image_base = struct.unpack_from("<Q", self.data, optional + 24)[0]
        self.subsystem = struct.unpack_from("<H", self.data, optional + 68)[0]
        self.symbol_count = struct.unpack_from("<I", self.data, pe + 16)[0]
        self.directories = [struct.unpack_from("<II", self.data, optional + 112 + 8 * i) for i in range(16)]
        self.sections = []
        table = optional + optional_size
        for i in range(sections):
            name, virtual_size, rva, raw_size, raw = struct.unpack_from("<8sIIII", self.data, table + 40 * i)
            self.sections.append((name.rstrip(b"\0").decode(), rva, max(virtual_size, raw_size), raw))

    def offset(self, rva):
        for _name, start, size, raw in self.sections:
            if start <= rva < start + size:
                return rva - start + raw
        raise ValueError("no section holds RVA %#x" % rva)

    def tls_callbacks(self):
        rva, size = self.directories[9]
        if not size:
            return []
        callbacks = struct.unpack_from("<Q", self.data, self.offset(rva) + 24)[0]
        found = []
        at = self.offset(callbacks - self.image_base)
        while True:
            address = struct.unpack_from("<Q", self.data, at)[0]
            if not address:
                return found
            found.append(address)
            at += 8


def symbols(path):
    """Address -> name, and name -> address, of a file's symbol table."""
    by_address, by_name = {}, {}
    for line in run(ARGS.nm, path).splitlines():
        parts = line.split()
        if len(parts) == 3:
            address, name = int(parts[0], 16), parts[2]
            if not name.startswith("."):  # not a section's own symbol
                by_address.setdefault(address, name)
            by_name[name] = address
    return by_address, by_name


def imports(path):
    """{library (lower case): [(IAT slot address, ordinal or name)]} from objdump's listing."""
    listing = run(ARGS.objdump, "-p", path)
    image_base = int(re.search(r"^ImageBase\s+([0-9a-fA-F]+)", listing, re.M).group(1), 16)
    found = {}
    for block in re.finditer(r"^ ([0-9a-f]{8})\t([0-9a-f]{8}) [0-9a-f]{8} [0-9a-f]{8} [0-9a-f]{8} ([0-9a-f]{8})\n\n"
                             r"\tDLL Name: (\S+)\n\tvma:.*\n((?:\t.*\n)*)", listing, re.M):
        first_thunk, library, entries = int(block.group(3), 16), block.group(4).lower(), block.group(5)
        slots = []
        for index, entry in enumerate(entries.strip("\n").splitlines()):
            fields = entry.split()
            thunk = int(fields[0], 16)
            target = thunk & 0xFFFF if thunk >> 63 else fields[2]
            slots.append((image_base + first_thunk + 8 * index, target))
        found[library] = slots
    return found


def fixed_version(path):
    with open(path, "rb") as f:
        data = f.read()
    at = data.find(struct.pack("<I", 0xFEEF04BD))
    if at < 0:
        return None
    ms, ls = struct.unpack_from("<II", data, at + 8)
    return "%d.%d.%d.%d" % (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)


def version_string(path, key):
    """A StringFileInfo value of a file's version information."""
    with open(path, "rb") as f:
        data = f.read()
    marker = key.encode("utf-16-le") + b"\0\0"
    at = data.find(marker)
    if at < 0:
        return None
    at += len(marker)
    at += (4 - at % 4) % 4  # the value starts on a 32-bit boundary
    end = data.find(b"\0\0", at)
    while end >= 0 and (end - at) % 2:
        end = data.find(b"\0\0", end + 1)
    return data[at:end].decode("utf-16-le")


class ShippedDll(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.pe = PeFile(ARGS.dll)
        cls.by_address, cls.by_name = symbols(ARGS.debug_file)
        cls.imports = imports(ARGS.dll)

    def test_each_ordinal_binds_to_the_function_the_module_calls(self):
        for library, expected in (("mapi32.dll", MAPI_ORDINALS), ("msi.dll", MSI_ORDINALS)):
            with self.subTest(library=library):
                slots = dict(self.imports[library])
                self.assertTrue(all(isinstance(target, int) for target in slots.values()), "by ordinal only")
                bound = {name: slots.get(self.by_name.get("__imp_" + name)) for name in expected}
                self.assertEqual(bound, expected)
                self.assertEqual(sorted(slots.values()), sorted(expected.values()), "nothing else imported")

    def test_the_stand_in_exports_the_same_ordinals_by_name(self):
        listing = run(ARGS.objdump, "-p", ARGS.standin)
        base = int(re.search(r"^Ordinal Base\s+(\d+)", listing, re.M).group(1))
        table = listing[listing.index("[Ordinal/Name Pointer] Table"):]
        exported = {name: int(index) + base for index, name in re.findall(r"^\t\[\s*(\d+)\] (\S+)", table, re.M)}
        self.assertEqual({name: exported.get(name) for name in MAPI_ORDINALS}, MAPI_ORDINALS)

    def test_nothing_of_a_threads_library_or_an_exception_handler_runs_in_the_host(self):
        callbacks = {self.by_address.get(address, hex(address)) for address in self.pe.tls_callbacks()}
        self.assertLessEqual(callbacks, RUNTIME_TLS_CALLBACKS)
        names = [name for _slot, name in sum(self.imports.values(), []) if isinstance(name, str)]
        for handler in ("AddVectoredExceptionHandler", "AddVectoredContinueHandler", "SetUnhandledExceptionFilter"):
            self.assertNotIn(handler, names)
        self.assertFalse([name for name in self.by_name if "pthread" in name.lower()])
        for library in self.imports:
            self.assertFalse(re.search(r"libwinpthread|libstdc\+\+|libgcc", library), library)

    def test_stripped_with_its_debug_information_beside_it(self):
        sections = re.findall(r"^\s+\d+ (\S+)", run(ARGS.objdump, "-h", ARGS.dll), re.M)
        self.assertFalse([name for name in sections if name.startswith(".debug")], sections)
        self.assertEqual(self.pe.symbol_count, 0, "no symbol table")
        self.assertIn(".gnu_debuglink", sections)
        link = run(ARGS.objdump, "-s", "-j", ".gnu_debuglink", ARGS.dll)
        self.assertIn("MsgPlugin.dll.de", link)
        self.assertIn("DllRegisterServer", self.by_name, "the debug file has the module's symbols")
        self.assertTrue(any(name.startswith(".debug_info") for name in run(ARGS.objdump, "-h", ARGS.debug_file).split()))

    def test_subsystem_windows(self):
        self.assertEqual(self.pe.subsystem, 2)  # IMAGE_SUBSYSTEM_WINDOWS_GUI

    def test_no_test_hooks(self):
        self.assertFalse([name for name in self.by_name if "Testing" in name], "test-only code in the shipped DLL")

    def test_one_version_and_a_copyright(self):
        self.assertEqual(fixed_version(ARGS.dll), ARGS.file_version)
        self.assertEqual(fixed_version(ARGS.cardhost_exe), ARGS.file_version)
        for path in (ARGS.dll, ARGS.cardhost_exe):
            self.assertEqual(version_string(path, "FileVersion"), ARGS.file_version, path)
            self.assertEqual(version_string(path, "ProductVersion"), ARGS.file_version, path)
            self.assertTrue((version_string(path, "LegalCopyright") or "").startswith("Copyright"), path)
        properties = dict(line.split("\t", 1) for line in run(ARGS.msiinfo, "export", ARGS.msi, "Property").splitlines()
                          if "\t" in line)
        self.assertEqual(properties["ProductVersion"], ARGS.version)
        self.assertTrue(ARGS.file_version.startswith(ARGS.version + "."))


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    for name in ("dll", "debug-file", "standin", "cardhost-exe", "msi", "objdump", "nm", "msiinfo", "version",
                 "file-version"):
        parser.add_argument("--" + name, required=True)
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
