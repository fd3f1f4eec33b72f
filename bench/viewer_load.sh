#!/usr/bin/env bash
# How fast the viewer shows a folder, and what it holds while doing so, in
# real X windows on a virtual server (the launcher of the smoke test):
#  - time from launch to the first image painted, for one slice and for the
#    samples' 200-slice CT series (median of RUNS launches each);
#  - peak memory while the series loads (VmHWM once "total: 200 images in
#    memory" is logged), and resident memory after paging through all 200.
# The series is 200 CT slices of 512 x 512 written by pydicom. Targets: the
# folder's first image within 1.5 x one slice's; peak during the load
# <= 140 MB; <= 150 MB after paging.
# viewer_load.sh [BUILD_DIR] [RUNS]
set -uo pipefail

if [ "${1:-}" != --inside ]; then
  for tool in xvfb-run xdotool /usr/bin/python3; do
    command -v "$tool" >/dev/null || { echo "viewer_load: $tool is missing (./scripts/setup installs it)" >&2; exit 2; }
  done
  exec xvfb-run -a -n $((300 + $$ % 500)) -s "-screen 0 1280x1024x24 -noreset" bash "$0" --inside "$@"
fi
shift
build=$(cd "${1:-build}" && pwd)
runs=${2:-5}
viewer=$build/viewer/kemascopia
[ -x "$viewer" ] || { echo "viewer_load: no viewer at $viewer (build with the viewer on)" >&2; exit 2; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
series=$work/series
/usr/bin/python3 - "$series" <<'PY' || { echo "viewer_load: pydicom could not write the series" >&2; exit 2; }
import os, sys
import numpy as np
from pydicom.dataset import Dataset, FileMetaDataset
from pydicom.uid import ExplicitVRLittleEndian, generate_uid
out = sys.argv[1]
os.makedirs(out)
y, x = np.mgrid[-256:256, -256:256]
body = (x / 200.0) ** 2 + (y / 150.0) ** 2 <= 1
study, series = generate_uid(), generate_uid()
rng = np.random.default_rng(7)
for k in range(200):
    ds = Dataset()
    ds.file_meta = FileMetaDataset()
    ds.file_meta.MediaStorageSOPClassUID = "1.2.840.10008.5.1.4.1.1.2"
    ds.file_meta.MediaStorageSOPInstanceUID = generate_uid()
    ds.file_meta.TransferSyntaxUID = ExplicitVRLittleEndian
    ds.SOPClassUID, ds.SOPInstanceUID = ds.file_meta.MediaStorageSOPClassUID, ds.file_meta.MediaStorageSOPInstanceUID
    ds.StudyInstanceUID, ds.SeriesInstanceUID = study, series
    ds.Modality, ds.PatientName, ds.SeriesNumber, ds.InstanceNumber = "CT", "LOAD^BENCH", 1, k + 1
    ds.ImagePositionPatient, ds.ImageOrientationPatient = [-250, -250, -k * 1.25], [1, 0, 0, 0, 1, 0]
    ds.PixelSpacing, ds.SliceThickness = [0.98, 0.98], 1.25
    ds.Rows = ds.Columns = 512
    ds.SamplesPerPixel, ds.PhotometricInterpretation = 1, "MONOCHROME2"
    ds.BitsAllocated, ds.BitsStored, ds.HighBit, ds.PixelRepresentation = 16, 12, 11, 0
    ds.RescaleIntercept, ds.RescaleSlope = -1024, 1
    img = np.where(body, 1064 + (k % 40), 24) + rng.integers(0, 20, (512, 512))
    ds.PixelData = img.astype("<u2").tobytes()
    ds.is_little_endian, ds.is_implicit_VR = True, False
    ds.save_as(os.path.join(out, f"ct_{k + 1:03d}.dcm"), write_like_original=False)
PY
one=$series/ct_001.dcm

now() { date +%s.%N; }

# launch FILE...: starts the viewer, waits for its first painted image and
# prints the seconds from launch to it; leaves the pid in $pid.
launch() {
  : >"$work/out.txt"
  local t0
  t0=$(now)
  KEMASCOPIA_TIMING=1 QT_QPA_PLATFORM=xcb KEMASCOPIA_EXPORT_DIR="$work" XDG_CONFIG_HOME="$work" \
    KEMASCOPIA_TRACE_DIR="$work" "$viewer" "$@" >"$work/out.txt" 2>&1 &
  pid=$!
  local painted=""
  for _ in $(seq 1 600); do
    painted=$(sed -n 's/^kemascopia: first image painted at //p' "$work/out.txt" | head -n 1)
    [ -n "$painted" ] && break
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.01
  done
  [ -n "$painted" ] || { echo "viewer_load: no image was painted" >&2; tail -n 20 "$work/out.txt" >&2; return 1; }
  python3 -c "print(f'{$painted - $t0:.3f}')"
}

stop() {
  kill "$pid" 2>/dev/null
  wait "$pid" 2>/dev/null
}

median() { sort -n | awk '{a[NR]=$1} END {print (NR % 2) ? a[(NR+1)/2] : (a[NR/2] + a[NR/2+1]) / 2}'; }

mb() { awk -v k="$(grep "^$1:" "/proc/$pid/status" | awk '{print $2}')" 'BEGIN {printf "%.1f", k / 1024}'; }

for _ in $(seq 1 "$runs"); do launch "$one" || exit 1; stop; done >"$work/one.txt"
for _ in $(seq 1 "$runs"); do launch "$series" || exit 1; stop; done >"$work/folder.txt"
t_one=$(median <"$work/one.txt")
t_folder=$(median <"$work/folder.txt")
echo "first image, one slice:         ${t_one} s (median of $runs)"
echo "first image, 200-slice folder:  ${t_folder} s (median of $runs; $(python3 -c "print(f'{$t_folder / $t_one:.2f}')") x one slice, target <= 1.5 x)"

launch "$series" >/dev/null || exit 1
for _ in $(seq 1 300); do
  grep -q "total: 200 images in memory" "$work/out.txt" && break
  sleep 0.05
done
grep -q "total: 200 images in memory" "$work/out.txt" || { echo "viewer_load: the folder did not load 200 images" >&2; stop; exit 1; }
echo "peak memory during the load:    $(mb VmHWM) MB (target <= 140 MB)"
image=$(xdotool search --pid "$pid" --name '^Kemascopia: .+' 2>/dev/null | head -n 1)
[ -n "$image" ] || { echo "viewer_load: no image window" >&2; stop; exit 1; }
xdotool windowfocus --sync "$image" 2>/dev/null || xdotool windowfocus "$image"
xdotool key --delay 15 --repeat 199 Next
sleep 1
echo "after paging through all 200:   $(mb VmRSS) MB resident, $(mb VmHWM) MB peak (target <= 150 MB)"
stop
