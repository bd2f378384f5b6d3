#!/usr/bin/env python3
"""Checks the layering of the server's folders, which share one library and so one include root.

The client's layers are kept apart by the build itself (each library exposes only its own
folder). The server's folders are grouped by job inside one library, so this script holds their
rule: the database and rowset code never reach up into sessions, commands, plug-ins or files,
and the server never includes the client's transport (but for its network folder, which
runs the datagram engine), components or Qt code. Prints each
offending include and exits 1 when there is any.
"""
import re
import subprocess
import sys

# What a file in each server folder may include from server/. The upper tier (sessions and
# their commands, plug-ins, files and the metrics of them all) calls into itself both ways: a session dispatches commands
# that answer through the session.
LOWER = {
    "base": {"base"},
    "rowsets": {"base", "rowsets"},
    "sql": {"base", "rowsets", "sql"},
    "config": {"base", "sql", "config"},
}
UPPER = {"net", "commands", "plugins", "files", "notify", "metrics"}
ALL = set(LOWER) | UPPER
FORBIDDEN_LAYERS = ("transport/", "components/", "qt/", "cli/", "demo/")
# The network folder alone may use the client's datagram engine, for the server's endpoint.
ALLOWED_LAYERS = {"net": ("transport/",)}

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"')


def allowed(folder):
    if folder in LOWER:
        return LOWER[folder]
    if folder in UPPER:
        return ALL
    return ALL  # server/main.cpp and anything at the top


def main():
    files = subprocess.run(["git", "ls-files", "server/*.cpp", "server/*.h"], check=True,
                           capture_output=True, text=True).stdout.split()
    faults = []
    for path in files:
        parts = path.split("/")
        folder = parts[1] if len(parts) > 2 else ""
        if folder and folder not in ALL:
            faults.append(f"{path}: folder server/{folder}/ has no place in the layering rule")
            continue
        with open(path, encoding="utf-8", errors="replace") as f:
            for number, line in enumerate(f, 1):
                match = INCLUDE.match(line)
                if not match:
                    continue
                target = match.group(1)
                if target.startswith(ALLOWED_LAYERS.get(folder, ())):
                    continue
                if target.startswith(FORBIDDEN_LAYERS):
                    faults.append(f"{path}:{number}: the server includes client code {target}")
                elif target.startswith("server/"):
                    target_parts = target.split("/")
                    target_folder = target_parts[1] if len(target_parts) > 2 else ""
                    if target_folder not in allowed(folder):
                        faults.append(f"{path}:{number}: server/{folder}/ may not include {target}")
    for fault in faults:
        print(fault)
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
