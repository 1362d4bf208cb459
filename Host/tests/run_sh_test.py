"""run.sh around a stand-in build: quiet when there is nothing to build, the build's output on
standard error when it builds or fails, and cardhost's output alone on standard output."""
import argparse
import os
import shutil
import stat
import subprocess
import sys
import tempfile
import unittest

ARGS = None

FAKE_CMAKE = """#!/bin/sh
# Stands in for cmake: configures quietly, builds as FAKE_BUILD says.
case "$1" in
  --preset) echo "-- Configuring done"; mkdir -p build/release; touch build/release/CMakeCache.txt; exit 0 ;;
esac
case "$FAKE_BUILD" in
  nothing) echo "[0/2] Re-checking globbed directories..."; echo "ninja: no work to do." ;;
  work) echo "[1/2] Building CXX object Host/CMakeFiles/cardhost.dir/cardhost.cpp.o";
        echo "[2/2] Linking CXX executable Host/cardhost" ;;
  fail) echo "FAILED: Host/CMakeFiles/cardhost.dir/cardhost.cpp.o"; echo "cardhost.cpp:1: error: broken" >&2;
        echo "ninja: build stopped: subcommand failed."; exit 1 ;;
  quiet_failure) echo "ninja: no work to do."; echo "the build tool failed after all" >&2; exit 1 ;;
esac
"""

FAKE_CARDHOST = """#!/bin/sh
echo "cardhost $*"
"""


def executable(path, text):
    with open(path, "w") as f:
        f.write(text)
    os.chmod(path, stat.S_IRWXU)


class RunShTest(unittest.TestCase):
    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="run_sh_test_")
        shutil.copy(ARGS.run_sh, os.path.join(self.root, "run.sh"))
        os.makedirs(os.path.join(self.root, "tools"))
        executable(os.path.join(self.root, "tools", "install-deps.sh"), "#!/bin/sh\nexit 0\n")
        os.makedirs(os.path.join(self.root, "bin"))
        executable(os.path.join(self.root, "bin", "cmake"), FAKE_CMAKE)
        os.makedirs(os.path.join(self.root, "build", "release", "Host"))
        executable(os.path.join(self.root, "build", "release", "Host", "cardhost"), FAKE_CARDHOST)

    def tearDown(self):
        shutil.rmtree(self.root, ignore_errors=True)

    def run_sh(self, build, *args):
        env = dict(os.environ, FAKE_BUILD=build, PATH=os.path.join(self.root, "bin") + os.pathsep + os.environ["PATH"])
        return subprocess.run([os.path.join(self.root, "run.sh")] + list(args), capture_output=True, text=True,
                              env=env, timeout=60)

    def configured(self):
        with open(os.path.join(self.root, "build", "release", "CMakeCache.txt"), "w"):
            pass

    def show(self, build):
        """`run.sh show x.msg` in a configured tree whose build tool does `build`."""
        self.configured()
        return self.run_sh(build, "show", "x.msg")

    def assert_failed_showing(self, result, *texts):
        """The run failed with each of `texts` on standard error, and ran nothing."""
        self.assertNotEqual(result.returncode, 0)
        for text in texts:
            self.assertIn(text, result.stderr)
        self.assertEqual(result.stdout, "")

    def test_nothing_to_build_is_quiet(self):
        result = self.show("nothing")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stderr, "")
        self.assertEqual(result.stdout, "cardhost show x.msg\n")

    def test_a_build_shows_its_output_on_standard_error(self):
        result = self.show("work")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn("[2/2] Linking CXX executable Host/cardhost", result.stderr)
        self.assertEqual(result.stdout, "cardhost show x.msg\n")

    def test_a_failed_build_shows_its_output_and_runs_nothing(self):
        self.assert_failed_showing(self.show("fail"), "FAILED: Host/CMakeFiles/cardhost.dir/cardhost.cpp.o",
                                   "error: broken")

    def test_a_failure_is_shown_even_when_nothing_was_built(self):
        self.assert_failed_showing(self.show("quiet_failure"), "the build tool failed after all")

    def test_the_first_build_configures_quietly_and_shows_the_build(self):
        result = self.run_sh("work")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertNotIn("Configuring done", result.stderr + result.stdout)
        self.assertIn("[1/2] Building CXX object", result.stderr)
        sample = os.path.join(self.root, "build", "sample.msg")
        self.assertEqual(result.stdout, "cardhost show %s\n" % sample)


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    parser.add_argument("--run-sh", required=True)
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
