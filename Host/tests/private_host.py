"""The environment of the tests' cardhost runs: a registry and application-data folder (and so
the plug-in's log) of their own under the test's folder, and UTC as the local zone."""
import os


def private_environment(folder):
    """This process's environment with the registry under `folder`/registry, the application data
    under `folder`/data, and TZ=UTC."""
    env = dict(os.environ)
    env.update({
        "TZ": "UTC",
        "MSGPLUGIN_REGISTRY_DIR": os.path.join(folder, "registry"),
        "XDG_DATA_HOME": os.path.join(folder, "data"),
    })
    return env
