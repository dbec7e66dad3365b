#!/usr/bin/env bash
# Sets up, builds and runs every test: once in the normal build, once more built with
# AddressSanitizer and UndefinedBehaviorSanitizer (any finding fails the test that hit it), and
# then each fuzz target for LUMATRAX_FUZZ_SECONDS (20 s unless the build sets otherwise).
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh
cmake --workflow --preset default
cmake --workflow --preset asan
cmake --workflow --preset fuzz
