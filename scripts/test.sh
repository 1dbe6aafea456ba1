#!/usr/bin/env bash
# Configures, builds and runs every test: unit and virtual-platform tests, the POSIX platform
# tests over pseudo-terminals, and the end-to-end runs against the simulated unit.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --workflow --preset dev
