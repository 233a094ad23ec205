"""Reads an ISO 9660 image with pycdlib and lays out what it found for the peer read-back tests.

usage: pycdlib_dump.py IMAGE OUTDIR

Every file of the ISO 9660 tree is written below OUTDIR/iso and every file of the Joliet tree below
OUTDIR/joliet, under the identifiers exactly as recorded (";1" included), so the caller can compare names,
structure and bytes. Standard output carries one tab-separated fact a line, text fields in hex:
  joliet  yes|no
  pvd_volume  HEX(volume identifier bytes)
  joliet_volume  HEX(volume identifier as UTF-8)
  boot  indicator  media  segment  system  sectors  load_rba  platform  HEX(id string)
"""

import os
import sys

import pycdlib


def extract(iso, out_root, key):
    os.makedirs(out_root, exist_ok=True)
    for parent, dirs, files in iso.walk(**{key: "/"}):
        target = os.path.join(out_root, parent.lstrip("/"))
        for name in dirs:
            os.makedirs(os.path.join(target, name), exist_ok=True)
        for name in files:
            record_path = parent.rstrip("/") + "/" + name
            with open(os.path.join(target, name), "wb") as out:
                iso.get_file_from_iso_fp(out, **{key: record_path})


def main():
    image, out_dir = sys.argv[1], sys.argv[2]
    iso = pycdlib.PyCdlib()
    iso.open(image)
    joliet = iso.has_joliet()
    print("joliet\t" + ("yes" if joliet else "no"))
    print("pvd_volume\t" + iso.pvd.volume_identifier.hex())
    extract(iso, os.path.join(out_dir, "iso"), "iso_path")
    if joliet:
        for svd in iso.svds:
            if svd.escape_sequences.startswith(b"%/"):
                text = svd.volume_identifier.decode("utf-16-be")
                print("joliet_volume\t" + text.encode("utf-8").hex())
        extract(iso, os.path.join(out_dir, "joliet"), "joliet_path")
    catalog = iso.eltorito_boot_catalog
    if catalog is not None:
        entry, validation = catalog.initial_entry, catalog.validation_entry
        fields = [entry.boot_indicator, entry.boot_media_type, entry.load_segment, entry.system_type,
                  entry.sector_count, entry.load_rba, validation.platform_id]
        print("boot\t" + "\t".join(str(v) for v in fields) + "\t" + validation.id_string.hex())
    iso.close()


if __name__ == "__main__":
    main()
