#!/usr/bin/env python3
"""Index and blob for extract_floor.exe, from a package's listing.

    floor_index.py LISTING TREE INDEX BLOB

LISTING is the output of `cabsfx-tool list --json PACKAGE`, TREE the folder
that was packed. The index names each folder once, before its first file, and
each file with its size and date, in the package's order; the blob holds the
files' bytes one after another in that order.
"""
import datetime
import json
import sys

FILETIME_EPOCH = 11644473600  # seconds from 1601 to 1970


def main(listing, tree, index_path, blob_path):
    folders = set()
    with open(index_path, "w", newline="\n") as index, open(blob_path, "wb") as blob:
        for line in open(listing, encoding="utf-8"):
            entry = json.loads(line)
            if entry["folder_entry"]:
                continue
            parts = entry["name"].split("\\")
            for i in range(1, len(parts)):
                folder = "\\".join(parts[:i])
                if folder not in folders:
                    folders.add(folder)
                    index.write(f"D {folder}\n")
            modified = datetime.datetime.fromisoformat(entry["modified"])
            seconds = int(modified.replace(tzinfo=datetime.timezone.utc).timestamp())
            with open("/".join([tree] + parts), "rb") as source:
                data = source.read()
            if len(data) != entry["size"]:
                sys.exit(f"floor_index.py: {entry['name']} is not the packed size")
            index.write(f"F {len(data)} {(seconds + FILETIME_EPOCH) * 10**7} {entry['name']}\n")
            blob.write(data)


if __name__ == "__main__":
    main(*sys.argv[1:])
