"""Lists both trees of an ISO 9660 image as pycdlib reads them, for iso_builder_fuzz.

usage: pycdlib_listing.py IMAGE

One line per folder and file below each root, tab-separated: the tree ("iso" or "joliet"), "d" or "f",
the path from the root with the identifiers exactly as recorded (";1" included) in hex of its UTF-8
form, and for a file its bytes in hex. Nothing is written to the local disk, so names longer than the
local file system takes are listed all the same.
"""

import io
import sys

import pycdlib


def walk(iso, tree, key):
    for parent, dirs, files in iso.walk(**{key: "/"}):
        prefix = parent.rstrip("/") + "/"
        for name in dirs:
            print("\t".join([tree, "d", (prefix + name).lstrip("/").encode("utf-8").hex()]))
        for name in files:
            path = prefix + name
            data = io.BytesIO()
            iso.get_file_from_iso_fp(data, **{key: path})
            print("\t".join([tree, "f", path.lstrip("/").encode("utf-8").hex(), data.getvalue().hex()]))


def main():
    iso = pycdlib.PyCdlib()
    iso.open(sys.argv[1])
    walk(iso, "iso", "iso_path")
    if iso.has_joliet():
        walk(iso, "joliet", "joliet_path")
    iso.close()


if __name__ == "__main__":
    main()
