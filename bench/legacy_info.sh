#!/usr/bin/env bash
# `kema info` over 200 files of 512 x 512 each: Elscint (line-compressed),
# GE CT 9800 (with image map) and DICOM, each run three times; prints the
# median CPU time of the kema process per file (cpu_ms_per_file), the
# figure to compare on a shared machine. The Elscint and CT 9800 files hold
# a noisy head, so that most neighbours differ by a few units.
# legacy_info.sh [BUILD_DIR]   (KEMA_BENCH_DIR=DIR keeps the files there)
set -euo pipefail
build=${1:-build}
[ -x "$build/legacy_bench" ] || { echo "legacy_info: no $build/legacy_bench (configure with -DKEMA_BUILD_BENCH=ON)" >&2; exit 2; }
"$build/legacy_bench" --benchmark_filter='Process_kema_info_200_(elscint|ct9800|dicom)' --benchmark_repetitions=3 \
  --benchmark_report_aggregates_only=true | grep -E '_median|^Benchmark|^-'
