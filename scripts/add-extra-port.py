#!/usr/bin/env python3
"""Adds a glob pattern to [Comms] ExtraPorts of a settings file, keeping everything else as it is.

Usage: add-extra-port.py SETTINGS_FILE PATTERN
Section and key names match in any letter case; the file is replaced atomically.
"""
import os
import sys
import tempfile


def main(path, pattern):
    lines = []
    eol = "\n"
    if os.path.exists(path):
        with open(path, encoding="latin-1", newline="") as f:
            data = f.read()
        lines = data.splitlines()
        if "\r\n" in data:
            eol = "\r\n"
    section = None
    comms_end = None
    for i, line in enumerate(lines):
        text = line.strip()
        if text.startswith("[") and text.endswith("]"):
            section = text[1:-1].strip().lower()
            if section == "comms":
                comms_end = i + 1
            continue
        if section != "comms":
            continue
        comms_end = i + 1
        key, sep, value = line.partition("=")
        if sep and key.strip().lower() == "extraports":
            patterns = [p.strip() for p in value.split(",") if p.strip()]
            if pattern in patterns:
                return
            lines[i] = key + "=" + ",".join(patterns + [pattern])
            break
    else:
        if comms_end is None:
            lines += ["[Comms]", "ExtraPorts=" + pattern]
        else:
            lines.insert(comms_end, "ExtraPorts=" + pattern)
    folder = os.path.dirname(os.path.abspath(path))
    os.makedirs(folder, exist_ok=True)
    fd, tmp = tempfile.mkstemp(dir=folder, prefix=".settings-")
    with os.fdopen(fd, "w", encoding="latin-1", newline="") as f:
        f.write(eol.join(lines) + eol)
        f.flush()
        os.fsync(f.fileno())
    os.replace(tmp, path)


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2])
