"""cardhost.exe under Wine against cardhost on Linux. Under Wine the whole road runs on
independent implementations (Wine's structured storage, OLE Automation, time zones and code
pages) with the project's message store as the stand-in mapi32.dll; on Linux it runs on the
platform layer. Both must show the same card of every sample message, save edits alike, meet the
lock between processes, and read a large body through the stream."""
import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import olefile_card  # noqa: E402
from private_host import private_environment  # noqa: E402
from damage import cut_stream_chain  # noqa: E402

ARGS = None
IMPORTANCE_TAG = str(0x00170003)
# Zones with summer time, one of them in it whatever the date; Wine and the platform both take
# the offset in force now.
SUMMER_TIME_ZONES = ("Europe/Berlin", "Australia/Sydney")


def stored(path):
    """The catalogue values the file holds, read with olefile."""
    return olefile_card.read_message(path).values


def stored_time(path, name):
    """A time the file holds, in ticks; 0 when it has none (or is no compound file)."""
    try:
        value = stored(path)[name]
    except OSError:
        return 0
    return value.number if value is not None else 0


def describe_run(result):
    """A run's command, exit code and output, for a failure's message."""
    return "%s\nexit code %s\nstdout: %s\nstderr: %s" % (
        " ".join(result.args[:12]), result.returncode, result.stdout[-3000:], result.stderr[-3000:])


def windows_path(path):
    """The path as a Windows program under Wine names it (drive Z: is the Linux root)."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


class WineCards(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="wine_cards_")
        self.env = private_environment(self.folder)

    def tearDown(self):
        shutil.rmtree(self.folder, ignore_errors=True)

    def run_command(self, command, check, timeout=600):
        result = subprocess.run(command, capture_output=True, text=True, encoding="utf-8", env=self.env,
                                timeout=timeout)
        if check is not None:
            self.assertEqual(result.returncode, check, describe_run(result))
        if command[0] == ARGS.wine_run:
            self.assert_mapi_paired(result.stderr, describe_run(result))
        return result

    def assert_mapi_paired(self, stderr, description):
        """The stand-in mapi32 says so on standard error when the plug-in's MAPIInitialize and
        MAPIUninitialize calls do not pair up."""
        complaints = [line for line in stderr.splitlines() if line.startswith("mapi32 stand-in:")]
        self.assertEqual(complaints, [], description)

    def wine(self, *args, check=0):
        """cardhost.exe with the DLL beside it, under Wine; file arguments are Linux paths."""
        return self.run_command([ARGS.wine_run, ARGS.cardhost_exe, "--module", windows_path(ARGS.dll)] + list(args),
                                check)

    def linux(self, *args, check=0):
        return self.run_command([ARGS.linux_cardhost, "--module", ARGS.linux_module] + list(args), check)

    def path(self, name):
        return os.path.join(self.folder, name)

    def sample(self, name="sample.msg"):
        target = self.path(name)
        self.linux("sample", target)
        return target

    @staticmethod
    def cards(output):
        return [json.loads(line) for line in output.splitlines()]

    def show_both(self, files, extra=()):
        """The JSON cards of files on Linux and under Wine, file by file."""
        linux_run = self.linux("show", "--json", "--full", *extra, *files, check=None)
        wine_run = self.wine("show", "--json", "--full", *extra, *[windows_path(f) for f in files], check=None)
        linux, wine = self.cards(linux_run.stdout), self.cards(wine_run.stdout)
        self.assertEqual(len(linux), len(files), describe_run(linux_run))
        self.assertEqual(len(wine), len(files), describe_run(wine_run))
        return linux, wine

    def assert_same_cards(self, files, linux, wine):
        differences = []
        for file, left, right in zip(files, linux, wine):
            if left["result"] != right["result"]:
                differences.append("%s: result %s on Linux, %s under Wine" % (file, left["result"], right["result"]))
                continue
            for name, value in left.get("variables", {}).items():
                other = right["variables"].get(name)
                if value != other:
                    differences.append("%s %s:\n  Linux %r\n  Wine  %r" % (os.path.basename(file), name, value, other))
        self.assertEqual(differences, [], "\n".join(differences))

    def copy_corpus(self):
        if not os.path.isdir(ARGS.corpus):
            self.skipTest("no sample messages at " + ARGS.corpus)
        files = []
        for root, _dirs, names in os.walk(ARGS.corpus):
            for name in sorted(names):
                if name.lower().endswith(".msg"):
                    target = self.path("corpus-%03d-%s" % (len(files), name))
                    shutil.copyfile(os.path.join(root, name), target)
                    os.chmod(target, 0o644)
                    files.append(target)
        return sorted(files)

    # ---- The same card ----------------------------------------------------------------------

    def test_every_sample_gives_the_same_card_in_utc_and_in_a_zone_with_summer_time(self):
        files = self.copy_corpus()
        for zone in ("UTC",) + SUMMER_TIME_ZONES:
            with self.subTest(zone=zone):
                self.env["TZ"] = zone
                linux, wine = self.show_both(files)
                self.assert_same_cards(files, linux, wine)
                self.assertGreater(sum(1 for line in linux if line["result"] == "0x00000000"), 40)

    # ---- Saving ------------------------------------------------------------------------------

    def test_set_under_wine_round_trips_and_reads_alike_on_linux(self):
        target = self.sample()
        before = stored(target)
        self.wine("set", windows_path(target), "SUBJECT=Revised \u00e9t\u00e9 figures")
        self.wine("set", windows_path(target), IMPORTANCE_TAG + "=2", "--type", "int")
        self.wine("set", windows_path(target), "CLIENT_SUBMIT_TIME=2025-01-02T03:04:05", "--type", "date")
        names = ["--var", "SUBJECT", "--var", IMPORTANCE_TAG, "--var", "CLIENT_SUBMIT_TIME"]
        linux, wine = self.show_both([target], extra=names)
        self.assert_same_cards([target], linux, wine)
        variables = wine[0]["variables"]
        self.assertEqual(variables["SUBJECT"]["value"], "Revised \u00e9t\u00e9 figures")
        self.assertEqual(variables[IMPORTANCE_TAG], {"found": True, "type": "VT_I4", "value": 2})
        self.assertEqual(variables["CLIENT_SUBMIT_TIME"]["value"], "2025-01-02T03:04:05")
        # Another reader sees the written values, and nothing else changed.
        after = stored(target)
        changed = {name for name in before if before[name] != after[name]}
        self.assertEqual(changed, {"SUBJECT", "CLIENT_SUBMIT_TIME"})
        self.assertEqual(after["SUBJECT"].text, "Revised \u00e9t\u00e9 figures")

    def test_a_subject_moved_across_the_mini_stream_cutoff(self):
        target = self.sample()
        long_subject = "Long subject " + "x" * 2100  # more than 4096 bytes as UTF-16
        self.wine("set", windows_path(target), "SUBJECT=" + long_subject)
        self.assertEqual(stored(target)["SUBJECT"].text, long_subject)
        linux, wine = self.show_both([target])
        self.assert_same_cards([target], linux, wine)
        # And back under the cutoff.
        self.wine("set", windows_path(target), "SUBJECT=Short again")
        self.assertEqual(stored(target)["SUBJECT"].text, "Short again")
        linux, wine = self.show_both([target])
        self.assert_same_cards([target], linux, wine)

    def test_dates_written_in_a_zone_with_summer_time_are_stored_alike(self):
        for zone in SUMMER_TIME_ZONES:
            with self.subTest(zone=zone):
                self.env["TZ"] = zone
                on_linux, under_wine = self.sample("linux-%s.msg" % zone[:6]), self.sample("wine-%s.msg" % zone[:6])
                for date in ("2025-07-01T12:00:00", "2025-12-24T08:30:15"):
                    self.linux("set", on_linux, "CLIENT_SUBMIT_TIME=" + date, "--type", "date")
                    self.wine("set", windows_path(under_wine), "CLIENT_SUBMIT_TIME=" + date, "--type", "date")
                    self.assertEqual(stored(on_linux)["CLIENT_SUBMIT_TIME"].number,
                                     stored(under_wine)["CLIENT_SUBMIT_TIME"].number, date)

    def test_a_date_written_back_as_read_keeps_its_fraction_of_a_second(self):
        files = [f for f in self.copy_corpus() if stored_time(f, "CREATION_TIME") % 10_000_000]
        self.assertTrue(files, "a sample with a creation time in fractions of a second")
        target = files[0]
        self.env["TZ"] = SUMMER_TIME_ZONES[1]
        before = stored_time(target, "CREATION_TIME")
        shown = self.cards(self.wine("show", "--json", "--var", "CREATION_TIME", windows_path(target)).stdout)
        self.wine("set", windows_path(target), "CREATION_TIME=" + shown[0]["variables"]["CREATION_TIME"]["value"],
                  "--type", "date")
        self.assertEqual(stored_time(target, "CREATION_TIME"), before)

    # ---- Through the registry ------------------------------------------------------------------

    def test_registered_under_wine_the_card_comes_through_the_registry(self):
        target = self.sample()
        exe = [ARGS.wine_run, ARGS.cardhost_exe]
        self.run_command(exe + ["register", windows_path(ARGS.dll)], 0)
        try:
            line = self.cards(self.run_command(exe + ["show", "--json", windows_path(target)], 0).stdout)[0]
            self.assertEqual(line["variables"]["SENDER_NAME"]["value"], "Ada Lindqvist")
        finally:
            self.run_command(exe + ["unregister", windows_path(ARGS.dll)], 0)
        gone = self.run_command(exe + ["show", windows_path(target)], 3)
        self.assertIn("REGDB_E_CLASSNOTREG", gone.stderr)

    def test_the_same_version_as_on_linux(self):
        self.assertEqual(self.run_command([ARGS.wine_run, ARGS.cardhost_exe, "--version"], 0).stdout,
                         self.linux("--version").stdout)

    # ---- The body and the lock -----------------------------------------------------------------

    def test_a_body_above_16_kib_is_read_through_the_stream(self):
        target = self.sample()
        body = "".join("line %05d of a long body\r\n" % i for i in range(1000))  # 52 KB as UTF-16
        self.linux("set", target, "BODY=" + body)
        wine = self.cards(self.wine("show", "--json", "--full", "--var", "BODY", windows_path(target)).stdout)
        self.assertEqual(wine[0]["variables"]["BODY"]["value"], body)

    def test_a_body_that_cannot_be_read_is_logged(self):
        target = self.sample()
        self.linux("set", target, "BODY=" + "x" * 20000)
        cut_stream_chain(target, "__substg1.0_1000001F", 3)
        logged = len(self.cards(self.wine("log", "--json").stdout))
        for side, show in (("Linux", self.linux), ("Wine", self.wine)):
            name = target if side == "Linux" else windows_path(target)
            card = self.cards(show("show", "--json", "--var", "BODY", "--var", "SUBJECT", name, check=1).stdout)[0]
            self.assertEqual(card["variables"]["BODY"]["found"], False, side)
            self.assertEqual(card["variables"]["SUBJECT"]["found"], True, side)
        for side, log in (("Linux", self.linux("log", "--json")), ("Wine", self.wine("log", "--json"))):
            entries = self.cards(log.stdout)
            last = entries[-1]
            self.assertEqual(last["function"], "CMsgFile::mbGetBodyProperty", side)
            self.assertEqual(last["category"], "body", side)
            self.assertEqual(last["result"], "0x80030109", side)  # STG_E_DOCFILECORRUPT, from the read
            self.assertTrue(last["message"].startswith("Failed to read from stream when extracting Body from message.\n"),
                            side)
        self.assertEqual(len(self.cards(self.wine("log", "--json").stdout)), logged + 1)

    def test_two_wine_processes_meet_the_lock(self):
        target = self.sample()
        holder = subprocess.Popen([ARGS.wine_run, ARGS.cardhost_exe, "--module", windows_path(ARGS.dll), "set",
                                   windows_path(target), "SUBJECT=held", "--hold", "8000"],
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=self.env)
        try:
            line = holder.stderr.readline()  # "holding FILE open for 8000 ms", once it is open
            self.assertIn("holding", line)
            blocked = self.wine("show", "--json", windows_path(target), check=3)
            self.assertEqual(self.cards(blocked.stdout)[0]["error"], "E_MSG_FILE_LOCKED")
        finally:
            out, err = holder.communicate(timeout=60)
        held = "the holder: exit code %s\nstdout: %s\nstderr: %s" % (holder.returncode, out, err)
        self.assertEqual(holder.returncode, 0, held)
        self.assert_mapi_paired(err, held)
        self.assertEqual(stored(target)["SUBJECT"].text, "held")


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    parser.add_argument("--wine-run", required=True)
    parser.add_argument("--cardhost-exe", required=True)
    parser.add_argument("--dll", required=True)
    parser.add_argument("--linux-cardhost", required=True)
    parser.add_argument("--linux-module", required=True)
    parser.add_argument("--corpus", required=True)
    ARGS, rest = parser.parse_known_args()
    for needed in (ARGS.linux_cardhost, ARGS.linux_module):
        if not os.path.exists(needed):
            sys.exit("the Linux build is needed beside the Windows one: %s is missing (build the release preset)"
                     % needed)
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
