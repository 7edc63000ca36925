"""The release, from the file VERSION: installed, beside the package; in the
repository, at its top."""

import os

_HERE = os.path.dirname(os.path.abspath(__file__))


def _release():
    for path in (os.path.join(_HERE, "VERSION"),
                 os.path.join(_HERE, os.pardir, os.pardir, "VERSION")):
        if os.path.isfile(path):
            with open(path, encoding="utf-8") as release:
                return release.readline().strip()
    return "unknown"


RELEASE = _release()
