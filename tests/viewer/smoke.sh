#!/usr/bin/env bash
# kemascopia in real X windows on a virtual server: started on the sample
# images, it shows the panel and the image window with their titles, paints
# an image that is not blank, and ends with status 0 on Escape.
# smoke.sh VIEWER FILES...
set -uo pipefail

if [ "${1:-}" != --inside ]; then
  for tool in xvfb-run xdotool xwd python3; do
    if ! command -v "$tool" >/dev/null; then
      echo "SKIPPED: $tool is not installed (./scripts/setup installs it); no real-window test"
      exit 77
    fi
  done
  exec xvfb-run -a -s "-screen 0 1280x1024x24" bash "$0" --inside "$@"
fi
shift
viewer=$1
shift
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

QT_QPA_PLATFORM=xcb KEMASCOPIA_EXPORT_DIR="$work" "$viewer" "$@" >"$work/out.txt" 2>&1 &
pid=$!

fail() {
  echo "FAILED: $*"
  echo "--- viewer output ---"
  tail -n 20 "$work/out.txt"
  kill "$pid" 2>/dev/null
  exit 1
}

panel="" image=""
for _ in $(seq 1 100); do
  panel=$(xdotool search --name '^Kemascopia 1\.2 Rev-10 Tools$' 2>/dev/null | head -n 1)
  image=$(xdotool search --name '^Kemascopia: .+' 2>/dev/null | head -n 1)
  [ -n "$panel" ] && [ -n "$image" ] && break
  kill -0 "$pid" 2>/dev/null || fail "the viewer ended before its windows appeared"
  sleep 0.2
done
[ -n "$panel" ] || fail "no window titled 'Kemascopia 1.2 Rev-10 Tools'"
[ -n "$image" ] || fail "no window titled 'Kemascopia: <patient>'"
echo "panel: $(xdotool getwindowname "$panel")"
echo "image: $(xdotool getwindowname "$image")"
sleep 1

xwd -silent -id "$image" >"$work/image.xwd" || fail "no screenshot of the image window"
python3 - "$work/image.xwd" <<'PY' || fail "the image window is blank"
import struct, sys
d = open(sys.argv[1], "rb").read()
h = struct.unpack(">25I", d[:100])
size, width, height, bpp, line, ncolors = h[0], h[4], h[5], h[11], h[12], h[19]
start = size + 12 * ncolors
step = bpp // 8
seen = set()
for y in range(height):
    row = d[start + y * line: start + y * line + width * step]
    for x in range(0, len(row), step):
        seen.add(row[x:x + 3])
print("distinct colours in the image window:", len(seen))
sys.exit(0 if len(seen) >= 3 else 1)
PY

xdotool windowfocus --sync "$panel" 2>/dev/null || xdotool windowfocus "$panel"
xdotool key Escape
for _ in $(seq 1 50); do
  kill -0 "$pid" 2>/dev/null || break
  sleep 0.2
done
kill -0 "$pid" 2>/dev/null && fail "still running 10 s after Escape"
wait "$pid"
status=$?
[ "$status" -eq 0 ] || fail "exit status $status after Escape"
echo "PASSED: both windows, a non-blank image, exit 0 on Escape"
