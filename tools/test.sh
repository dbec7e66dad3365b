#!/usr/bin/env bash
# Sets up, builds and runs every test: once in the normal build, and once more built with
# AddressSanitizer and UndefinedBehaviorSanitizer, where any finding fails the test that hit it.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh
cmake --workflow --preset default
cmake --workflow --preset asan
