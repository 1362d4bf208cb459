"""What the benchmark scripts that run cardhost share: the command line's --build and --corpus,
the host and module of a Linux build, and a registry and log of their own for the runs."""
import argparse
import glob
import os
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def argument_parser():
    """A parser that takes --build (default: the release build) and --corpus (default:
    $MSGPLUGIN_CORPUS_DIR, else the shared sample folder)."""
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=os.path.join(ROOT, "build", "release"))
    parser.add_argument("--corpus", default=os.environ.get("MSGPLUGIN_CORPUS_DIR",
                                                           os.path.join(ROOT, "..", "shared", "corpus")))
    return parser


def built_host(build):
    """cardhost and the module of the Linux build in `build`; exits when they are not built."""
    cardhost = os.path.join(build, "Host", "cardhost")
    modules = glob.glob(os.path.join(build, "FileFormats", "**", "MsgPlugin.so"), recursive=True)
    if not os.access(cardhost, os.X_OK) or not modules:
        sys.exit("build %s first" % build)
    return cardhost, modules[0]


def private_environment(work):
    """This process's environment with the registry and the log under the folder `work`."""
    return dict(os.environ, MSGPLUGIN_REGISTRY_DIR=os.path.join(work, "registry"),
                XDG_DATA_HOME=os.path.join(work, "data"))
