"""MsgPlugin.msi under Wine's own msiexec, in a prefix of its own made afresh: a quiet install
registers exactly what the DLL's own registration writes, the card of a message comes through the
registry, an uninstall leaves the registry and Program Files as they were, and a newer version
installed over an older one leaves one product, registered to the new file."""
import argparse
import ntpath
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest
import uuid

ARGS = None
INSTALLED = "C:\\Program Files\\MsgPlugin\\MsgPlugin.dll"
REGISTRATION_KEYS = ("HKLM\\SOFTWARE\\Classes", "HKLM\\SOFTWARE\\Microsoft\\Windows Messaging Subsystem")
UPGRADE_CODE = "{BA45B4F9-59DD-48F2-90EF-753F0BFE562C}"
# What the system changes by itself between two looks, whatever is installed: not the package's
# (a random seed; the display adapters, recorded afresh when Wine's desktop starts).
VOLATILE = ("HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Cryptography\\RNG",
            "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Video",
            "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Class\\{4d36e968-e325-11ce-bfc1-08002be10318}")


# Windows Installer's own books: the first package installed makes their keys, which stay when
# the last one goes, as on any Windows; their values are compared, their empty keys are not.
INSTALLER_BOOKS = ("hkey_local_machine\\software\\classes\\installer",
                   "hkey_local_machine\\software\\microsoft\\windows\\currentversion\\installer")


def describe_run(result):
    return "%s\nexit code %s\nstdout: %s\nstderr: %s" % (
        " ".join(str(a) for a in result.args[:12]), result.returncode, result.stdout[-3000:], result.stderr[-3000:])


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def parse_reg(text):
    """A .reg export as {key (lower case): {value name (lower case): data text}}."""
    keys = {}
    current = None
    pending = ""
    for raw in text.splitlines():
        line = pending + raw.strip()
        pending = ""
        if line.endswith("\\") and not line.startswith("["):
            pending = line[:-1]
            continue
        if line.startswith("[") and line.endswith("]"):
            current = keys.setdefault(line[1:-1].lower(), {})
        elif current is not None and "=" in line:
            if line.startswith("@="):
                name, data = "@", line[2:]
            else:
                end = line.index('"=', 1)
                name, data = line[1:end], line[end + 2:]
            current[name.lower()] = data
    return keys


def differences(left, right):
    """The entries of two mappings that differ, one line each."""
    keys = sorted(set(left) | set(right), key=str)
    return "\n".join("%s:\n  %r\n  %r" % (k, left.get(k), right.get(k)) for k in keys if left.get(k) != right.get(k))


def version_fields(text):
    return [int(part) for part in text.split(".")]


def older_version(version):
    """A version an installer takes as older: the first three fields, one step down."""
    major, minor, patch = (version_fields(version) + [0, 0, 0])[:3]
    if patch:
        return "%d.%d.%d" % (major, minor, patch - 1)
    if minor:
        return "%d.%d.0" % (major, minor - 1)
    return "%d.0.0" % (major - 1)


def with_file_version(dll_bytes, version):
    """The DLL's bytes with the file and product versions of its fixed version information set."""
    data = bytearray(dll_bytes)
    at = data.find(struct.pack("<I", 0xFEEF04BD))
    assert at >= 0, "no fixed version information"
    a, b, c = (version_fields(version) + [0, 0, 0])[:3]
    ms, ls = (a << 16) | b, c << 16
    struct.pack_into("<IIII", data, at + 8, ms, ls, ms, ls)
    return bytes(data)


def file_version(path):
    with open(path, "rb") as f:
        data = f.read()
    at = data.find(struct.pack("<I", 0xFEEF04BD))
    ms, ls = struct.unpack_from("<II", data, at + 8)
    return "%d.%d.%d.%d" % (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)


class Installer(unittest.TestCase):
    maxDiff = 2000
    @classmethod
    def setUpClass(cls):
        cls.prefix = ARGS.prefix
        cls.env = dict(os.environ, WINEPREFIX=cls.prefix, WINEDLLOVERRIDES="mapi32=n")
        subprocess.run([ARGS.fresh_prefix, cls.prefix], check=True, env=cls.env, capture_output=True, timeout=300)
        cls.folder = tempfile.mkdtemp(prefix="installer_test_")
        cls.sample = os.path.join(cls.folder, "sample.msg")
        cls.wine_ok(cls, ARGS.cardhost_exe, "sample", windows_path(cls.sample))

    @classmethod
    def tearDownClass(cls):
        subprocess.run(["wineserver", "-k"], env=cls.env, capture_output=True)
        shutil.rmtree(cls.folder, ignore_errors=True)

    # ---- Running things under Wine ------------------------------------------------------------

    def wine(self, *args, timeout=300, own_mapi=False):
        """A program under Wine; with the stand-in mapi32 beside cardhost.exe unless own_mapi."""
        env = dict(self.env, WINEDLLOVERRIDES="") if own_mapi else self.env
        return subprocess.run([ARGS.wine_run] + [str(a) for a in args], capture_output=True, text=True,
                              encoding="utf-8", errors="replace", env=env, timeout=timeout)

    def wine_ok(self, *args, own_mapi=False):
        result = Installer.wine(self, *args, own_mapi=own_mapi)
        if result.returncode != 0:
            raise AssertionError(describe_run(result))
        return result

    def msiexec(self, *args):
        log = os.path.join(self.folder, "msiexec-%s.log" % uuid.uuid4().hex[:8])
        result = self.wine("msiexec", *args, "/qn", "/l*v", windows_path(log))
        if result.returncode != 0:
            text = ""
            if os.path.exists(log):
                with open(log, encoding="utf-16", errors="replace") as f:
                    text = f.read()[-4000:]
            self.fail("%s\nlog: %s" % (describe_run(result), text))

    def install(self, msi):
        self.msiexec("/i", windows_path(msi))

    def uninstall(self, msi):
        self.msiexec("/x", windows_path(msi))

    # ---- Looking at the prefix ----------------------------------------------------------------

    def export(self, key):
        target = os.path.join(self.folder, "export.reg")
        self.wine_ok("reg", "export", key, windows_path(target), "/y")
        with open(target, encoding="utf-16") as f:
            return parse_reg(f.read())

    def registry(self):
        """The whole registry of the prefix (machine and user), less what changes by itself."""
        everything = {}
        for root in ("HKLM", "HKCU"):
            everything.update(self.export(root))
        return {key: values for key, values in everything.items()
                if not any(key.startswith(v.lower()) for v in VOLATILE)
                and not (not values and any(key.startswith(r) for r in INSTALLER_BOOKS))}

    def registration(self):
        """The keys and values of the plug-in's registration, wherever they are."""
        found = {}
        marks = ("msgplugin", "{8ba22517-eae8-44c9-bcc9-f6ecba2f4b47}", "{9c8f8544-dacc-47e1-a113-10a4b6744b6f}",
                 "{567a7172-dde8-48de-ab02-864cc86ea58b}", "{caa138e5-71df-4c5c-ad03-44208bf98751}",
                 "{7e11c994-6343-4c7e-bcfc-0c539cb60d80}")
        for root in REGISTRATION_KEYS:
            for key, values in self.export(root).items():
                if "\\wow6432node\\" in key:
                    continue  # the 32-bit view: where it is not the 64-bit keys again, none of ours
                if any(mark in key for mark in marks):
                    found[key] = dict(values)
                elif key.endswith("\\msmapiapps"):
                    found[key] = {name: data for name, data in values.items() if name == "msgplugin.dll"}
        return found

    def program_files(self):
        root = os.path.join(self.prefix, "drive_c", "Program Files")
        return sorted(os.path.relpath(os.path.join(d, n), root) for d, dirs, files in os.walk(root)
                      for n in dirs + files)

    def installed_path(self):
        return os.path.join(self.prefix, "drive_c", "Program Files", "MsgPlugin", "MsgPlugin.dll")

    def products(self):
        """The installed products of the package's upgrade code."""
        packed = UPGRADE_CODE[1:-1].replace("-", "")
        # Packed as Windows Installer keeps it: each group's characters reversed, in pairs after the third.
        groups = [packed[0:8], packed[8:12], packed[12:16]] + [packed[i:i + 2] for i in range(16, 32, 2)]
        key = "hkey_local_machine\\software\\classes\\installer\\upgradecodes\\" + "".join(g[::-1] for g in groups).lower()
        return sorted(self.export("HKLM\\SOFTWARE\\Classes\\Installer").get(key, {}))

    def show_card(self):
        """The card of the sample through the registry, with cardhost.exe."""
        result = self.wine_ok(ARGS.cardhost_exe, "show", "--json", "--var", "SENDER_NAME", windows_path(self.sample))
        return result.stdout

    def assert_registration_is_the_modules(self, path):
        """The installed registration names `path` and is exactly what the package's rows say."""
        state = self.registration()
        flat = {(key, name): data for key, values in state.items() for name, data in values.items()}
        expected = {}
        with open(ARGS.rows_list) as f:
            for line in f:
                key, name, value = line.rstrip("\n").split("|")
                key = "hkey_local_machine\\" + key.lower()
                if name == "*":
                    self.assertIn(key, state)
                    continue
                value = value.replace("[#MsgPlugin.dll]", path).replace("[INSTALLDIR]", ntpath.dirname(path) + "\\")
                expected[(key, name.lower() if name else "@")] = '"%s"' % value.replace("\\", "\\\\")
        self.assertEqual(flat, expected, differences(flat, expected))

    # ---- The tests ----------------------------------------------------------------------------

    def test_install_show_uninstall_leaves_the_prefix_as_it_was(self):
        before, files_before = self.registry(), self.program_files()
        self.install(ARGS.msi)
        with open(self.installed_path(), "rb") as installed, open(ARGS.dll, "rb") as built:
            self.assertEqual(installed.read(), built.read())
        self.assert_registration_is_the_modules(INSTALLED)
        self.assertIn('"Ada Lindqvist"', self.show_card())
        self.assertEqual(len(self.products()), 1)
        self.uninstall(ARGS.msi)
        self.assertEqual(self.program_files(), files_before)
        after = self.registry()
        self.assertEqual(after, before, differences(before, after))
        self.assertIn("REGDB_E_CLASSNOTREG", self.wine(ARGS.cardhost_exe, "show", windows_path(self.sample)).stderr)

    def test_the_installed_registration_is_what_the_dll_registers(self):
        self.install(ARGS.msi)
        installed = self.registration()
        self.uninstall(ARGS.msi)
        # The same file at the same place, registered by itself.
        os.makedirs(os.path.dirname(self.installed_path()))
        shutil.copyfile(ARGS.dll, self.installed_path())
        try:
            # regsvr32 in the system's folder loads the DLL with Wine's own mapi32.
            self.wine_ok("regsvr32", "/s", INSTALLED, own_mapi=True)
            registered = self.registration()
            self.wine_ok("regsvr32", "/s", "/u", INSTALLED, own_mapi=True)
        finally:
            shutil.rmtree(os.path.dirname(self.installed_path()))
        # The installer's folder properties end in a backslash; the type library's own registration
        # names its help folder without one.
        helpdir = [k for k in installed if k.endswith("\\helpdir")]
        self.assertEqual(len(helpdir), 1)
        installed[helpdir[0]]["@"] = installed[helpdir[0]]["@"].replace('\\\\"', '"')
        # Key names are compared as the registry does, without regard to case.
        self.assertEqual(installed, registered, differences(installed, registered))

    def test_a_newer_version_replaces_an_older_one(self):
        older = older_version(ARGS.version)
        build = os.path.join(self.folder, "older")
        os.makedirs(build)
        with open(ARGS.dll, "rb") as f:
            built = f.read()
        with open(os.path.join(build, "MsgPlugin.dll"), "wb") as f:
            f.write(with_file_version(built, older))
        shutil.copyfile(ARGS.rows, os.path.join(build, "rows.wxi"))
        older_msi = os.path.join(build, "MsgPlugin-%s.msi" % older)
        result = subprocess.run([ARGS.wixl, "-a", "x64", "-D", "ProductVersion=" + older,
                                 "-D", "ProductCode={%s}" % str(uuid.uuid4()).upper(), "-D", "ModuleFile=MsgPlugin.dll",
                                 "-D", "RegistryRows=rows.wxi", "-o", older_msi, os.path.abspath(ARGS.wxs)],
                                cwd=build, capture_output=True, text=True)
        self.assertEqual(result.returncode, 0, describe_run(result))
        before, files_before = self.registry(), self.program_files()

        self.install(older_msi)
        self.assertEqual(file_version(self.installed_path()), older + ".0")
        self.assertEqual(len(self.products()), 1)
        self.install(ARGS.msi)
        self.assertEqual(len(self.products()), 1, "one product left after the upgrade")
        with open(self.installed_path(), "rb") as f:
            self.assertEqual(f.read(), built, "the new file is installed")
        self.assert_registration_is_the_modules(INSTALLED)
        self.assertIn('"Ada Lindqvist"', self.show_card())
        # An older version does not go over a newer one.
        result = self.wine("msiexec", "/i", windows_path(older_msi), "/qn")
        self.assertNotEqual(result.returncode, 0, describe_run(result))
        self.assertEqual(len(self.products()), 1)

        self.uninstall(ARGS.msi)
        self.assertEqual(self.products(), [])
        self.assertEqual(self.program_files(), files_before)
        after = self.registry()
        self.assertEqual(after, before, differences(before, after))


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    for name in ("msi", "wxs", "rows", "wixl", "dll", "cardhost-exe", "wine-run", "fresh-prefix", "prefix",
                 "version", "rows-list"):
        parser.add_argument("--" + name, required=True)
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
