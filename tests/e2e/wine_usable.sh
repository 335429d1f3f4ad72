#!/usr/bin/env bash
# Exits 0 when this machine can start Wine's 32-bit loader, 1 when the kernel refuses to
# run 32-bit x86 programs at all (exit 126, "Exec format error": a virtual machine without
# a 32-bit mode). Any other fault of Wine is left for the suite to meet and report.
loader=/usr/lib/wine/wine
[ -x "$loader" ] || exit 0
"$loader" --version >/dev/null 2>&1
[ $? -ne 126 ]
