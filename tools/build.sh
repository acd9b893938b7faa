#!/usr/bin/env bash
# Configures (once) and builds everything into build/: build/Corvane.exe, the
# unit-test programs, the emulated UPS and the test helper.
set -eu
cd "$(dirname "$0")/.."
if [ ! -f build/CMakeCache.txt ]; then
    cmake -S . -B build -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
          -DPython3_EXECUTABLE=/usr/bin/python3 >/dev/null
fi
cmake --build build -j"$(nproc)" -- --no-print-directory
