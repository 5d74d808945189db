#!/usr/bin/env bash
# Sets up a fresh Debian machine, builds Brimloft and starts it. Arguments go to the
# server (for example --port 9000). The data file and app.html live in the current
# folder unless app.html lies beside the built program.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
"$here/scripts/setup.sh"
cmake -S "$here" -B "$here/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF >/dev/null
cmake --build "$here/build" -j "$(nproc)" --target brimloft
exec "$here/build/brimloft" "$@"
