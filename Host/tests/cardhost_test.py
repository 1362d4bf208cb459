"""cardhost through its built binary: cards against an independent reader, editing and saving,
locks, registration, scanning and the diagnostics log."""
import argparse
import datetime
import glob
import json
import os
import re
import shutil
import stat
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import olefile_card  # noqa: E402
from private_host import private_environment  # noqa: E402
from damage import cut_stream_chain  # noqa: E402
from olefile_card import PT_ERROR, PT_STRING8, PT_SYSTIME, PT_UNICODE  # noqa: E402

ARGS = None
E_MSG_FILE_LOCKED = "0x8004020B"
E_MSG_OPEN_FAILED = "0x80040229"
SUBJECT_TAG = str(0x0037001F)
IMPORTANCE_TAG = str(0x00170003)
NAMES = ["ATTACHMENTS"] + list(olefile_card.CATALOGUE)

# ---- How the card shows what a file holds ------------------------------------------------------
# olefile_card reports what a file holds. Wherever the plug-in or its message store show
# something else, by their design, the rules below say so.

# The message store hands out no string over 16 KiB (its terminator aside) from a property read:
# it returns the error value E_OUTOFMEMORY in its place, so the card shows VT_ERROR. Only the
# body is read whole, through its stream.
INLINE_LIMIT = 16384
E_OUTOFMEMORY, MAPI_E_NOT_FOUND = 0x8007000E, 0x8004010F

# The store keeps a message's 8-bit text in a Windows code page: a MIME character set that the
# message names stands for the Windows code page of its family.
FAMILY = {50220: 932, 50221: 932, 50222: 932, 51932: 932, 20932: 932, 52936: 936, 50225: 949,
          51949: 949, 28591: 1252, 28592: 1250, 28595: 1251, 20866: 1251, 21866: 1251, 28597: 1253,
          28599: 1254, 28598: 1255, 38598: 1255, 28596: 1256, 28594: 1257, 28603: 1257}


def body_code_page(message, ansi_code_page):
    """The store converts the 8-bit body with the message's own code page: the Internet code
    page, else the message code page, else the ANSI one."""
    for named in (message.internet_code_page, message.message_code_page):
        if named:
            return FAMILY.get(named, named)
    return ansi_code_page


def over_inline_limit(value):
    return value.size - (2 if value.type == PT_UNICODE else 1) > INLINE_LIMIT


def hex_code(code):
    return "0x%08X" % (code & 0xFFFFFFFF)


def card_time(ticks):
    # The card carries an automation date, which holds whole seconds: the fraction is dropped.
    # The tests run with TZ=UTC.
    moment = datetime.datetime(1601, 1, 1) + datetime.timedelta(seconds=ticks // 10_000_000)
    return moment.strftime("%Y-%m-%dT%H:%M:%S")


def expected_entry(name, value, body_cp, ansi_cp):
    """(type, value) of a catalogue value on the card, None when it is not found."""
    if value is None:
        return None
    body = name == "BODY"
    if value.type in (PT_STRING8, PT_UNICODE):
        # A string without its value stream: the store returns MAPI_E_NOT_FOUND in its place
        # (for the body: no body).
        if not value.has_stream:
            return None if body else ("VT_ERROR", hex_code(MAPI_E_NOT_FOUND))
        if not body and over_inline_limit(value):
            return ("VT_ERROR", hex_code(E_OUTOFMEMORY))
        # The plug-in converts 8-bit strings with the ANSI code page; the 8-bit body is converted
        # by the store, in the message's own code page.
        return ("VT_BSTR", value.decoded(body_cp if body else ansi_cp))
    if body:
        return None  # a body that is no string is not read
    if value.type == PT_SYSTIME:
        return ("VT_DATE", card_time(value.number))
    if value.type == PT_ERROR:
        return ("VT_ERROR", hex_code(value.number))
    raise ValueError("%s of type %04X: no card form that these tests know" % (name, value.type))


def expected_attachment_names(message, ansi_cp):
    lines = []
    for name in message.attachments:
        if name is None:
            continue  # an attachment without a long file name adds no line
        # A name that the store returns as an error value (no stream, over the inline limit), or
        # a name of another type, is an empty line; 8-bit names are converted with the ANSI code
        # page.
        usable = name.type in (PT_STRING8, PT_UNICODE) and name.has_stream and not over_inline_limit(name)
        lines.append(name.decoded(ansi_cp) if usable else "")
    return "\r\n".join(lines)


def expected_card(path, ansi_cp):
    """The card of the message at `path`: name -> (type, value), or None when not found."""
    message = olefile_card.read_message(path)
    body_cp = body_code_page(message, ansi_cp)
    card = {"ATTACHMENTS": ("VT_BSTR", expected_attachment_names(message, ansi_cp))}
    for name, value in message.values.items():
        card[name] = expected_entry(name, value, body_cp, ansi_cp)
    return card


def read_bytes(path):
    with open(path, "rb") as f:
        return f.read()


class CardhostTest(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="cardhost_test_")
        self.ansi_cp = None
        self.env = private_environment(self.folder)

    def tearDown(self):
        for root, dirs, files in os.walk(self.folder):
            for name in dirs + files:
                os.chmod(os.path.join(root, name), 0o700)
        if not os.environ.get("CARDHOST_TEST_KEEP"):
            shutil.rmtree(self.folder, ignore_errors=True)

    def run_host(self, *args, module=True, check=None, timeout=120):
        command = [ARGS.cardhost] + (["--module", ARGS.module] if module else []) + list(args)
        result = subprocess.run(command, capture_output=True, text=True, env=self.env, timeout=timeout)
        if check is not None:
            self.assertEqual(result.returncode, check, "%s\nstdout: %s\nstderr: %s" %
                             (command, result.stdout[-2000:], result.stderr[-2000:]))
        return result

    def path(self, name):
        return os.path.join(self.folder, name)

    def sample(self, name="sample.msg"):
        target = self.path(name)
        self.run_host("sample", target, module=False, check=0)
        return target

    def show_json(self, *files, extra=(), check=0):
        result = self.run_host("show", "--json", *extra, *files, check=check)
        return [json.loads(line) for line in result.stdout.splitlines()]

    def copy_corpus(self):
        if not os.path.isdir(ARGS.corpus):
            self.skipTest("no sample messages at " + ARGS.corpus)
        target = self.path("corpus")
        shutil.copytree(ARGS.corpus, target)
        os.chmod(target, 0o755)  # saves replace files, so the folders must be writable too
        for root, dirs, files in os.walk(target):
            for name in dirs + files:
                os.chmod(os.path.join(root, name), 0o755 if name in dirs else 0o644)
        return sorted(glob.glob(os.path.join(target, "**", "*.msg"), recursive=True))

    def ansi_code_page(self):
        """The ANSI code page of cardhost's process (the platform's, from this test's registry)."""
        if self.ansi_cp is None:
            info = self.run_host("info", check=0)
            self.ansi_cp = int(re.search(r"^code page: +(\d+)", info.stdout, re.M).group(1))
        return self.ansi_cp

    def expected_card(self, path):
        return expected_card(path, self.ansi_code_page())

    def card_in_file(self, path):
        """The values the card shows for the file, as olefile reads it."""
        return {name: entry and entry[1] for name, entry in self.expected_card(path).items()}

    def assert_card_matches_olefile(self, line):
        expected = self.expected_card(line["file"])
        self.assertEqual(line["result"], "0x00000000", line)
        variables = line["variables"]
        self.assertEqual(list(variables), NAMES)
        for name, want in expected.items():
            entry = variables[name]
            where = "%s: %s" % (line["file"], name)
            self.assertEqual(entry["found"], want is not None, where)
            if want is not None:
                self.assertEqual((entry["type"], entry["value"]), want, where)

    # ---- Cards against olefile ------------------------------------------------------------

    def test_corpus_cards_match_olefile(self):
        files = self.copy_corpus()
        self.assertGreater(len(files), 10)
        lines = self.show_json(*files, check=None)
        self.assertEqual([line["file"] for line in lines], files)
        compared = 0
        for line in lines:
            try:
                olefile_card.read_message(line["file"])
            except OSError:
                # Not a compound file at all (the corpus holds an empty one): both must refuse it.
                self.assertEqual(line["result"], E_MSG_OPEN_FAILED, line)
                self.assertEqual(line["error"], "E_MSG_OPEN_FAILED")
                self.assertNotIn("variables", line)
                continue
            self.assert_card_matches_olefile(line)
            compared += 1
        self.assertGreater(compared, 10)

    def test_sample_card_matches_olefile_and_its_content(self):
        line = self.show_json(self.sample())[0]
        self.assert_card_matches_olefile(line)
        variables = line["variables"]
        self.assertEqual(variables["ATTACHMENTS"]["value"], "figures-q1.csv\r\nmeeting notes.txt")
        self.assertEqual(variables["SENDER_NAME"]["value"], "Ada Lindqvist")
        self.assertEqual(variables["DISPLAY_TO"]["value"], "Bruno Marchetti; Chen Wei")
        self.assertEqual(variables["CLIENT_SUBMIT_TIME"]["value"], "2026-03-14T09:28:00")
        self.assertTrue(variables["BODY"]["value"].startswith("Hello Bruno"))

    def test_strings_over_the_inline_limit_but_the_body_show_as_the_stores_error(self):
        target = self.sample()
        subject, body = "s" * (INLINE_LIMIT // 2 + 1), "b" * (INLINE_LIMIT // 2 + 1)
        self.run_host("set", target, "SUBJECT=" + subject, "BODY=" + body, check=0)
        stored = olefile_card.read_message(target).values
        self.assertEqual((stored["SUBJECT"].text, stored["BODY"].text), (subject, body), "the file holds both whole")
        line = self.show_json(target)[0]
        self.assert_card_matches_olefile(line)
        self.assertEqual(line["variables"]["SUBJECT"]["type"], "VT_ERROR")
        self.assertEqual(line["variables"]["BODY"]["value"], body)

    def test_dates_follow_the_time_zone(self):
        target = self.sample()
        self.env["TZ"] = "Europe/Berlin"  # UTC+1 in March 2026
        line = self.show_json(target, extra=["--var", "CLIENT_SUBMIT_TIME"])[0]
        self.assertEqual(line["variables"]["CLIENT_SUBMIT_TIME"]["value"], "2026-03-14T10:28:00")

    def test_table_view(self):
        target = self.sample()
        result = self.run_host("show", target, check=0)
        self.assertIn("figures-q1.csv\n", result.stdout)
        self.assertRegex(result.stdout, r"\n +meeting notes.txt\n")  # one attachment per line
        self.assertIn("CLIENT_SUBMIT_TIME      2026-03-14T09:28:00", result.stdout)
        self.assertIn("--full shows all", result.stdout)
        self.assertNotIn("Regards,\r\nAda", result.stdout)
        full = self.run_host("show", "--full", target, check=0)
        self.assertIn("Regards,", full.stdout)
        self.assertIn("Ada\n", full.stdout)

    # ---- set ------------------------------------------------------------------------------

    def test_set_then_show_round_trips_text_integer_and_date(self):
        target = self.sample()
        self.run_host("set", target, "SUBJECT=Revised \u00e9t\u00e9 figures", check=0)
        self.run_host("set", target, IMPORTANCE_TAG + "=2", "--type", "int", check=0)
        self.run_host("set", target, "CLIENT_SUBMIT_TIME=2025-01-02T03:04:05", "--type", "date", check=0)
        # Options and files in any order; the variables come back in the order asked for.
        shown = self.run_host("show", "--var", "SUBJECT", target, "--json", "--var", IMPORTANCE_TAG,
                              "--var", "CLIENT_SUBMIT_TIME", check=0)
        line = json.loads(shown.stdout)
        variables = line["variables"]
        self.assertEqual(list(variables), ["SUBJECT", IMPORTANCE_TAG, "CLIENT_SUBMIT_TIME"])
        self.assertEqual(variables["SUBJECT"], {"found": True, "type": "VT_BSTR", "value": "Revised \u00e9t\u00e9 figures"})
        self.assertEqual(variables[IMPORTANCE_TAG], {"found": True, "type": "VT_I4", "value": 2})
        self.assertEqual(variables["CLIENT_SUBMIT_TIME"],
                         {"found": True, "type": "VT_DATE", "value": "2025-01-02T03:04:05"})
        # Saved into the file itself, as another reader sees it.
        expected = self.card_in_file(target)
        self.assertEqual(expected["SUBJECT"], "Revised \u00e9t\u00e9 figures")
        self.assertEqual(expected["CLIENT_SUBMIT_TIME"], "2025-01-02T03:04:05")
        self.assertEqual(expected["SENDER_NAME"], "Ada Lindqvist")

    def test_set_reports_refused_and_unknown_variables(self):
        target = self.sample()
        result = self.run_host("set", target, "SUBJECT=ok", "ATTACHMENTS=x", "NO_SUCH_NAME=1", check=1)
        self.assertIn("written:     SUBJECT", result.stdout)
        self.assertIn("not written: ATTACHMENTS", result.stdout)
        self.assertIn("not written: NO_SUCH_NAME", result.stdout)
        self.assertEqual(self.card_in_file(target)["SUBJECT"], "ok")
        # A number where the message holds a text is refused and leaves the text.
        refused = self.run_host("set", target, SUBJECT_TAG + "=5", "--type", "int", check=1)
        self.assertIn("refused:     " + SUBJECT_TAG, refused.stdout)
        self.assertEqual(self.card_in_file(target)["SUBJECT"], "ok")

    def test_usage_errors_exit_2(self):
        target = self.sample()
        before = read_bytes(target)
        for args in (["set", target, "NOEQUALS"], ["set", target, "X=abc", "--type", "int"],
                     ["set", target, "CLIENT_SUBMIT_TIME=2026-02-31", "--type", "date"],
                     ["set", target, "A=1", "--type", "complex"], ["frobnicate"], []):
            self.run_host(*args, check=2)
        self.assertEqual(read_bytes(target), before)

    def test_sample_into_a_missing_folder_exits_4(self):
        target = self.path(os.path.join("missing", "sample.msg"))
        result = self.run_host("sample", target, module=False, check=4)
        self.assertIn("cannot write", result.stderr)
        self.assertFalse(os.path.exists(target))

    def test_help_on_every_command(self):
        for command in ("register", "unregister", "info", "show", "set", "scan", "log", "sample"):
            result = self.run_host(command, "--help", module=False, check=0)
            self.assertIn("Usage", result.stdout)

    def test_version_is_the_projects(self):
        result = self.run_host("--version", module=False, check=0)
        self.assertEqual(result.stdout, "cardhost %s\n" % ARGS.version)

    def test_set_on_read_only_file_exits_3_with_the_lock(self):
        target = self.sample()
        os.chmod(target, stat.S_IRUSR | stat.S_IRGRP)
        before = read_bytes(target)
        result = self.run_host("set", target, "SUBJECT=changed", check=3)
        self.assertIn("E_MSG_FILE_LOCKED", result.stderr)
        self.assertIn(E_MSG_FILE_LOCKED, result.stderr)
        self.assertEqual(read_bytes(target), before)
        line = self.show_json(target, check=3)[0]
        self.assertEqual(line, {"file": target, "result": E_MSG_FILE_LOCKED, "error": "E_MSG_FILE_LOCKED",
                                "reason": "permission denied: the file is read-only"})

    def test_second_set_meets_the_lock_while_the_first_holds_the_file(self):
        target = self.sample()
        command = [ARGS.cardhost, "--module", ARGS.module, "set", target, "SUBJECT=first", "--hold", "1500"]
        first = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=self.env)
        self.assertIn("holding", first.stderr.readline())  # the file is open now
        second = self.run_host("set", target, "SUBJECT=second", check=3)
        self.assertIn("E_MSG_FILE_LOCKED", second.stderr)
        out, err = first.communicate(timeout=60)
        self.assertEqual(first.returncode, 0, err)
        card = self.card_in_file(target)
        self.assertEqual(card["SUBJECT"], "first")
        self.assertEqual(card["ATTACHMENTS"], "figures-q1.csv\r\nmeeting notes.txt")

    def test_two_sets_at_once_leave_a_whole_file(self):
        target = self.sample()
        for round_ in range(3):
            processes = [subprocess.Popen([ARGS.cardhost, "--module", ARGS.module, "set", target,
                                           "SUBJECT=writer %d" % n], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                          text=True, env=self.env) for n in range(2)]
            results = [(p.wait(timeout=60), p.stderr.read()) for p in processes]
            for p in processes:
                p.stdout.close()
                p.stderr.close()
            codes = sorted(code for code, _ in results)
            self.assertIn(codes, ([0, 0], [0, 3]), results)
            for code, err in results:
                if code == 3:
                    self.assertIn("E_MSG_FILE_LOCKED", err)
            card = self.card_in_file(target)
            self.assertIn(card["SUBJECT"], ("writer 0", "writer 1"))
            self.assertEqual(card["SENDER_NAME"], "Ada Lindqvist")
            self.assertEqual(card["ATTACHMENTS"], "figures-q1.csv\r\nmeeting notes.txt")

    # ---- Registration ---------------------------------------------------------------------

    def test_register_show_unregister_show(self):
        target = self.sample()
        unregistered = self.run_host("show", target, module=False, check=3)
        self.assertIn("not registered", unregistered.stderr)
        self.assertIn("REGDB_E_CLASSNOTREG", unregistered.stderr)

        result = self.run_host("register", ARGS.module, module=False, check=0)
        self.assertIn(self.env["MSGPLUGIN_REGISTRY_DIR"], result.stdout)
        line = self.show_json(target, extra=["--var", "SUBJECT"])  # --module is passed: direct
        self.assertEqual(line[0]["variables"]["SUBJECT"]["found"], True)
        through_clsid = self.run_host("show", "--json", target, module=False, check=0)
        self.assertEqual(json.loads(through_clsid.stdout)["variables"]["SENDER_NAME"]["value"], "Ada Lindqvist")
        info = self.run_host("info", module=False, check=0)
        self.assertIn("extensions:  msg", info.stdout)

        self.run_host("unregister", ARGS.module, module=False, check=0)
        after = self.run_host("show", target, module=False, check=3)
        self.assertIn("not registered", after.stderr)
        self.assertEqual(after.stdout, "")

    def test_register_takes_the_library_that_module_names(self):
        target = self.sample()
        copy = self.path("elsewhere/MsgPlugin-copy.so")
        os.makedirs(os.path.dirname(copy))
        shutil.copy(ARGS.module, copy)
        result = self.run_host("--module", copy, "register", module=False, check=0)
        self.assertIn("registered " + copy, result.stdout)
        self.run_host("show", "--json", target, module=False, check=0)
        # The registry names the copy: without it the class cannot be created.
        os.remove(copy)
        gone = self.run_host("show", target, module=False, check=3)
        self.assertIn("could not be created", gone.stderr)
        clash = self.run_host("--module", ARGS.module, "register", copy, module=False, check=2)
        self.assertIn("two different libraries", clash.stderr)

    def test_missing_module_is_a_clear_failure(self):
        target = self.sample()
        result = subprocess.run([ARGS.cardhost, "--module", self.path("nowhere.so"), "show", target],
                                capture_output=True, text=True, env=self.env, timeout=60)
        self.assertEqual(result.returncode, 3)
        self.assertIn("cannot load", result.stderr)

    # ---- scan -----------------------------------------------------------------------------

    def test_scan_over_the_corpus(self):
        files = self.copy_corpus()
        with open(os.path.join(self.path("corpus"), "not a message.msg"), "wb") as junk:
            junk.write(b"plain text, not a compound file")
        result = self.run_host("scan", "--json", self.path("corpus"), check=3)
        lines = [json.loads(line) for line in result.stdout.splitlines()]
        self.assertEqual(len(lines), len(files) + 1)
        failed = [line for line in lines if line["result"] != "0x00000000"]
        self.assertTrue(all(line["result"] == E_MSG_OPEN_FAILED for line in failed), failed)
        self.assertIn(os.path.join(self.path("corpus"), "not a message.msg"), [line["file"] for line in failed])
        ok = [line for line in lines if line["result"] == "0x00000000"]
        self.assertGreater(len(ok), 10)
        self.assertTrue(all(set(line["variables"]) == set(NAMES) for line in ok))
        self.assertIn("scanned %d messages, %d failed" % (len(lines), len(failed)), result.stderr)
        self.assertIn("%d x 0x80040229 E_MSG_OPEN_FAILED" % len(failed), result.stderr)
        self.assertNotIn("\r[", result.stderr)  # no progress bar when standard error is no terminal

    def test_scan_on_a_terminal_shows_each_line_before_the_bar_that_counts_it(self):
        import pty
        self.copy_corpus()
        expected = self.run_host("scan", "--json", self.path("corpus"), check=3).stdout.splitlines()
        main, terminal = pty.openpty()
        child = subprocess.Popen([ARGS.cardhost, "--module", ARGS.module, "scan", "--json", "--jobs", "2",
                                  self.path("corpus")], stdout=terminal, stderr=terminal, env=self.env)
        os.close(terminal)
        shown = b""
        while True:
            try:
                chunk = os.read(main, 65536)
            except OSError:  # the terminal's other end is gone
                break
            if not chunk:
                break
            shown += chunk
        os.close(main)
        self.assertEqual(child.wait(timeout=120), 3)
        # Lines and bars in the order the terminal got them: every line is whole, and the bar
        # after the k-th line counts k.
        text = shown.decode("utf-8").replace("\r\n", "\n")
        lines, bars = [], 0
        for token in re.findall(r"\r\[[#.]+\] (\d+)/(\d+)|\r\x1b\[K|([^\r\n]*)\n", text):
            done, total, line = token
            if done:
                bars += 1
                self.assertEqual(int(done), len(lines), "a bar that counts lines not shown yet")
                self.assertEqual(int(total), len(expected))
            elif line and not line.startswith("scanned ") and not line.startswith(" "):
                lines.append(line)
        self.assertEqual(lines, expected)
        self.assertEqual(bars, len(expected))

    def test_scan_on_several_jobs_prints_the_same_lines_in_the_order_of_the_names(self):
        files = self.copy_corpus()
        folder = self.path("corpus")
        # Folders and files whose names sort around the separator, and a file that is no message.
        for name in ("a.msg", os.path.join("a-b", "x.msg"), os.path.join("a", "y.msg"), os.path.join("a", "b", "z.MSG")):
            os.makedirs(os.path.dirname(os.path.join(folder, name)), exist_ok=True)
            shutil.copyfile(files[0], os.path.join(folder, name))
        self.put(os.path.join("corpus", "a", "broken.msg"), b"not a compound file")
        outputs, summaries = {}, {}
        for jobs in (1, 2, 4):
            result = self.run_host("scan", "--json", "--jobs", str(jobs), folder, check=3)
            outputs[jobs], summaries[jobs] = result.stdout, result.stderr
        self.assertIn("1 x not a compound file\n", summaries[1])
        for jobs in (2, 4):
            self.assertEqual(outputs[jobs], outputs[1])
            self.assertEqual(summaries[jobs], summaries[1])
        shown = [json.loads(line)["file"] for line in outputs[1].splitlines()]
        expected = sorted((os.path.join(root, name) for root, _, names in os.walk(folder) for name in names
                           if name.lower().endswith(".msg")), key=os.fsencode)
        self.assertEqual(shown, expected)
        # The table too, and the default number of jobs.
        self.assertEqual(self.run_host("scan", "--jobs", "3", folder, check=3).stdout,
                         self.run_host("scan", folder, check=3).stdout)
        self.run_host("scan", "--jobs", "0", folder, check=2)

    # ---- log ------------------------------------------------------------------------------

    def log_entries(self, *extra):
        result = self.run_host("log", "--json", *extra, module=False, check=0)
        return [json.loads(line) for line in result.stdout.splitlines()], result.stderr

    def test_log_after_provoked_failures(self):
        junk = self.path("junk.msg")
        with open(junk, "wb") as f:
            f.write(b"no compound file here")
        locked = self.sample("locked.msg")
        os.chmod(locked, stat.S_IRUSR)
        self.run_host("show", junk, check=3)
        self.run_host("set", locked, "SUBJECT=x", check=3)
        entries, _ = self.log_entries()
        self.assertEqual(len(entries), 2, entries)
        self.assertEqual(entries[0]["function"], "CMsgFile::mhInitialize")
        self.assertIn(junk, entries[0]["message"])
        self.assertEqual(entries[0]["category"], "opening")
        self.assertIn(locked, entries[1]["message"])
        self.assertEqual(entries[1]["result"], "0x80030005")
        self.assertEqual(entries[1]["name"], "STG_E_ACCESSDENIED")
        self.assertEqual(entries[1]["module"], "cardhost")
        self.assertEqual(self.log_entries("--tail", "1")[0], entries[1:])
        table = self.run_host("log", module=False, check=0)
        self.assertIn("0x80030005 STG_E_ACCESSDENIED  [opening]  cardhost  CMsgFile::mhInitialize", table.stdout)

        # A damaged tail is reported, and the sound entries are still shown.
        log_files = glob.glob(os.path.join(self.env["XDG_DATA_HOME"], "ORVANE", "ORVANE KESTREL", "*.mlg"))
        self.assertEqual(len(log_files), 1)
        with open(log_files[0], "ab") as log:
            log.write(b"\x07" * 37)
        damaged, stderr = self.log_entries()
        self.assertEqual(damaged, entries)
        self.assertIn("last 37 bytes of the log are damaged", stderr)

    def test_a_body_that_cannot_be_read_is_logged_and_not_found(self):
        target = self.sample()
        self.run_host("set", target, "BODY=" + "x" * 20000, check=0)
        cut_stream_chain(target, "__substg1.0_1000001F", 3)
        card = self.show_json(target, extra=["--var", "BODY", "--var", "SUBJECT"], check=1)[0]["variables"]
        self.assertEqual(card["BODY"]["found"], False)
        self.assertEqual(card["SUBJECT"]["found"], True)
        entries, _ = self.log_entries()
        self.assertEqual(entries[-1]["function"], "CMsgFile::mbGetBodyProperty")
        self.assertEqual(entries[-1]["category"], "body")
        self.assertEqual(entries[-1]["result"], "0x80030109")  # the read's STG_E_DOCFILECORRUPT
        self.assertEqual(entries[-1]["message"],
                         "Failed to read from stream when extracting Body from message.\n" + target)

    def test_log_without_a_log(self):
        result = self.run_host("log", module=False, check=0)
        self.assertIn("no log", result.stderr)
        self.assertEqual(result.stdout, "")

    # ---- Why a file could not be opened ---------------------------------------------------

    def reason_of(self, path, result=E_MSG_OPEN_FAILED):
        """The reason `show --json` gives for the file; the result and exit code are the plug-in's."""
        line = self.show_json(path, check=3)[0]
        self.assertEqual((line["result"], line["error"]), (result, {
            E_MSG_OPEN_FAILED: "E_MSG_OPEN_FAILED", E_MSG_FILE_LOCKED: "E_MSG_FILE_LOCKED"}[result]), line)
        return line.get("reason")

    def put(self, name, data):
        path = self.path(name)
        with open(path, "wb") as f:
            f.write(data)
        return path

    def test_reasons_from_the_file_system(self):
        self.assertEqual(self.reason_of(self.path("missing.msg")), "no such file")
        self.assertEqual(self.reason_of(self.path(os.path.join("no folder", "x.msg"))), "no such file")
        os.mkdir(self.path("folder.msg"))
        self.assertEqual(self.reason_of(self.path("folder.msg"), E_MSG_FILE_LOCKED), "a folder, not a file")
        read_only = self.sample("read-only.msg")
        os.chmod(read_only, stat.S_IRUSR)
        self.assertEqual(self.reason_of(read_only, E_MSG_FILE_LOCKED), "permission denied: the file is read-only")
        os.makedirs(self.path("locked folder"))
        in_folder = self.sample(os.path.join("locked folder", "x.msg"))
        os.chmod(self.path("locked folder"), 0o555)
        self.assertEqual(self.reason_of(in_folder, E_MSG_FILE_LOCKED), "permission denied: the folder is read-only")

    def test_a_file_another_program_holds_is_told_from_a_read_only_one(self):
        target = self.sample()
        holder = subprocess.Popen([ARGS.cardhost, "--module", ARGS.module, "set", target, "SUBJECT=held",
                                   "--hold", "3000"], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                                  env=self.env)
        self.assertIn("holding", holder.stderr.readline())
        self.assertEqual(self.reason_of(target, E_MSG_FILE_LOCKED), "held open by another program")
        second = self.run_host("set", target, "SUBJECT=second", check=3)
        self.assertIn("E_MSG_FILE_LOCKED", second.stderr)
        self.assertIn("reason: held open by another program", second.stderr)
        holder.communicate(timeout=60)
        self.assertEqual(holder.returncode, 0)

    def test_files_that_are_no_compound_files(self):
        self.assertEqual(self.reason_of(self.put("text.msg", b"plain text, not a compound file")),
                         "not a compound file")
        self.assertEqual(self.reason_of(self.put("empty.msg", b"")), "not a compound file: the file is empty")
        eml = (b"Return-Path: <ada@example.com>\r\nReceived: from mx.example.com\r\n\tby mail.example.net\r\n"
               b"From: Ada <ada@example.com>\r\nTo: bruno@example.com\r\nSubject: figures\r\n"
               b"MIME-Version: 1.0\r\nContent-Type: text/plain; charset=utf-8\r\n\r\nHello Bruno\r\n")
        mime = self.put("saved.msg", eml)
        self.assertEqual(self.reason_of(mime),
                         "not a compound file: looks like a MIME message (an .eml saved as .msg)")
        table = self.run_host("show", mime, check=3)
        self.assertIn("cannot read the card: 0x80040229 E_MSG_OPEN_FAILED", table.stdout)
        self.assertIn("  reason: not a compound file: looks like a MIME message (an .eml saved as .msg)\n",
                      table.stdout)
        self.assertIn("reason: not a compound file: looks like a MIME message", table.stderr)
        failed_set = self.run_host("set", mime, "SUBJECT=x", check=3)
        self.assertIn("reason: not a compound file: looks like a MIME message", failed_set.stderr)

    def test_a_damaged_compound_file_gives_the_storage_error_its_own_open_logged(self):
        target = self.sample()
        good = read_bytes(target)
        bad_header = bytearray(good)
        bad_header[30] = 0x20  # a sector size no compound file has
        with open(target, "wb") as f:
            f.write(bad_header)
        self.assertEqual(self.reason_of(target),
                         "StgOpenStorage failed: 0x800300FB STG_E_INVALIDHEADER: the file is not a compound file")
        # Damaged otherwise now: the reason is the entry of this open, not the older one.
        bad_directory = bytearray(good)
        first_directory_sector = int.from_bytes(good[48:52], "little")
        at = (first_directory_sector + 1) * 512
        bad_directory[at + 128:at + 512] = b"\xff" * 384
        with open(target, "wb") as f:
            f.write(bad_directory)
        self.assertEqual(self.reason_of(target),
                         "StgOpenStorage failed: 0x80030109 STG_E_DOCFILECORRUPT: the compound file is damaged")
        entries, _ = self.log_entries()
        self.assertEqual([entry["name"] for entry in entries], ["STG_E_INVALIDHEADER", "STG_E_DOCFILECORRUPT"])

    def test_scan_groups_failures_by_code_and_reason(self):
        folder = self.path("scanned")
        os.makedirs(folder)
        self.sample(os.path.join("scanned", "good.msg"))
        for name in ("a.msg", "b.msg"):
            self.put(os.path.join("scanned", name), b"From: a@example.com\nTo: b@example.com\n\nhi\n")
        self.put(os.path.join("scanned", "c.msg"), b"just text")
        result = self.run_host("scan", folder, check=3)
        self.assertIn("scanned 4 messages, 3 failed\n"
                      "  3 x 0x80040229 E_MSG_OPEN_FAILED: the file is not readable as a message\n"
                      "      1 x not a compound file\n"
                      "      2 x not a compound file: looks like a MIME message (an .eml saved as .msg)\n",
                      result.stderr)
        self.assertIn("FAILED 0x80040229  %s  (not a compound file)\n" % os.path.join(folder, "c.msg"), result.stdout)
        lines = [json.loads(line) for line in self.run_host("scan", "--json", folder, check=3).stdout.splitlines()]
        self.assertEqual([line.get("reason") for line in lines],
                         ["not a compound file: looks like a MIME message (an .eml saved as .msg)"] * 2 +
                         ["not a compound file", None])
        self.assertTrue(all(set(line) == {"file", "result", "error", "reason"} for line in lines[:3]), lines)

    # ---- File names that are not UTF-8 ----------------------------------------------------

    def run_host_bytes(self, *args, check=None):
        """cardhost's output as bytes, arguments as the file system's names."""
        command = [ARGS.cardhost, "--module", ARGS.module] + [os.fsencode(a) if isinstance(a, str) else a
                                                              for a in args]
        result = subprocess.run(command, capture_output=True, env=self.env, timeout=120)
        if check is not None:
            self.assertEqual(result.returncode, check, result.stderr)
        # Whatever the names, the output is UTF-8 and its JSON parses strictly.
        return result.stdout.decode("utf-8", "strict"), result.stderr.decode("utf-8", "strict")

    @staticmethod
    def json_lines(text):
        return [json.loads(line, strict=True) for line in text.splitlines()]

    def assert_names(self, line, raw_name):
        """The line names the file so that it can be told apart and mapped back."""
        self.assertEqual(bytes.fromhex(line["file_bytes"]), raw_name)
        self.assertEqual(line["file"], raw_name.decode("utf-8", "replace"))

    def test_a_file_whose_name_is_not_utf8_is_shown_set_and_scanned(self):
        folder = self.path("names")
        os.makedirs(folder)
        raw = os.path.join(os.fsencode(folder), b"\xff\xfe invalid.msg")
        self.run_host_bytes("sample", os.path.join(os.fsencode(folder), b"x.msg"), check=0)
        os.rename(os.path.join(os.fsencode(folder), b"x.msg"), raw)

        out, _ = self.run_host_bytes("show", "--json", raw, check=0)
        line = self.json_lines(out)[0]
        self.assert_names(line, raw)
        self.assertEqual(line["result"], "0x00000000")
        self.assertEqual(line["variables"]["SUBJECT"]["value"], self.card_in_file(raw)["SUBJECT"])
        table, _ = self.run_host_bytes("show", raw, check=0)
        self.assertIn(raw.decode("utf-8", "replace") + "\n", table)

        out, _ = self.run_host_bytes("set", raw, "SUBJECT=renamed in place", check=0)
        self.assertIn("saved", out)
        self.assertEqual(self.card_in_file(raw)["SUBJECT"], "renamed in place")
        # No temporary image left, no file under another name.
        self.assertEqual(sorted(os.listdir(os.fsencode(folder))), [b"\xff\xfe invalid.msg"])

        self.put(os.path.join("names", "plain.msg"), b"not a message")
        out, err = self.run_host_bytes("scan", "--json", folder, check=3)
        lines = self.json_lines(out)
        self.assertEqual(len(lines), 2)
        self.assert_names(lines[1], raw)
        self.assertEqual(lines[1]["variables"]["SUBJECT"]["value"], "renamed in place")
        self.assertNotIn("file_bytes", lines[0])  # a UTF-8 name is only "file"
        self.assertEqual(lines[0]["file"], os.path.join(folder, "plain.msg"))
        out, _ = self.run_host_bytes("scan", folder, check=3)
        self.assertIn(raw.decode("utf-8", "replace"), out)

    def test_a_plugin_in_a_folder_whose_name_is_not_utf8_registers_and_loads(self):
        target = self.sample()
        folder = os.path.join(os.fsencode(self.folder), b"plug-in \xe9\xff")
        os.makedirs(folder)
        module = os.path.join(folder, b"MsgPlugin.so")
        shutil.copy(ARGS.module, module)
        command = [ARGS.cardhost, b"register", module]
        registered = subprocess.run(command, capture_output=True, env=self.env, timeout=60)
        self.assertEqual(registered.returncode, 0, registered.stderr)
        registered.stdout.decode("utf-8", "strict")
        # Through the registry: the class's library path comes back as the same bytes.
        shown = subprocess.run([ARGS.cardhost, "show", "--json", target], capture_output=True, env=self.env,
                               timeout=60)
        self.assertEqual(shown.returncode, 0, shown.stderr)
        self.assertEqual(json.loads(shown.stdout)["variables"]["SENDER_NAME"]["value"], "Ada Lindqvist")

    def test_a_failure_of_such_a_file_is_logged_under_its_own_name(self):
        raw = os.path.join(os.fsencode(self.folder), b"caf\xe9 \xed\xa0\x80.msg")  # Latin-1, an encoded surrogate
        with open(raw, "wb") as f:
            f.write(b"no compound file")
        out, err = self.run_host_bytes("show", "--json", raw, check=3)
        line = self.json_lines(out)[0]
        self.assert_names(line, raw)
        self.assertEqual(line["reason"], "not a compound file")
        table, err = self.run_host_bytes("show", raw, check=3)
        self.assertIn(raw.decode("utf-8", "replace") + "\n  cannot read the card", table)
        self.assertIn("cardhost: " + raw.decode("utf-8", "replace") + ": 0x80040229", err)
        # The log holds the name as the plug-in was handed it: the bytes escaped as Python
        # escapes them (lone surrogates U+DC80..U+DCFF), each mapping back to its byte.
        logs = glob.glob(os.path.join(self.env["XDG_DATA_HOME"], "ORVANE", "ORVANE KESTREL", "*.mlg"))
        self.assertEqual(len(logs), 1)
        data = read_bytes(logs[0])
        header = 40
        module, function, message = (int.from_bytes(data[28 + 4 * i:32 + 4 * i], "little") & 0x7FFFFFFF
                                     for i in range(3))
        text = data[header + module + function:header + module + function + message]
        self.assertEqual(text.decode("utf-16-le", "surrogatepass"), "Failed: StgOpenStorage " + os.fsdecode(raw))
        log_out, _ = self.run_host_bytes("log", "--json", check=0)
        self.assertEqual(self.json_lines(log_out)[0]["message"],
                         "Failed: StgOpenStorage " + raw.decode("utf-8", "replace"))


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    parser.add_argument("--cardhost", required=True)
    parser.add_argument("--module", required=True)
    parser.add_argument("--corpus", required=True)
    parser.add_argument("--version", required=True, help="the project's version, which cardhost --version shows")
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
