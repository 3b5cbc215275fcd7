"""Packs the built site into a zip for any static host: every file under a
folder movdith-web/, in name order, with a fixed time and mode, so that the
same site always gives the same bytes.
    python3 zip_site.py SITE OUT"""
import os
import sys
import zipfile

FOLDER = "movdith-web"
# The earliest time a zip can hold: the files' own times would make every
# build's archive differ.
FIXED_TIME = (1980, 1, 1, 0, 0, 0)


def main(site, out):
    names = sorted(os.path.relpath(os.path.join(root, f), site)
                   for root, _, files in os.walk(site) for f in files)
    os.makedirs(os.path.dirname(out) or ".", exist_ok=True)
    partial = out + ".part"
    with zipfile.ZipFile(partial, "w", zipfile.ZIP_DEFLATED, compresslevel=9) as archive:
        for name in names:
            entry = zipfile.ZipInfo(f"{FOLDER}/{name}", FIXED_TIME)
            entry.compress_type = zipfile.ZIP_DEFLATED
            entry.external_attr = 0o100644 << 16  # a plain file, rw-r--r--
            entry.create_system = 3  # Unix, so that the mode is read
            with open(os.path.join(site, name), "rb") as f:
                archive.writestr(entry, f.read(), compresslevel=9)
    os.replace(partial, out)


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    main(*sys.argv[1:])
