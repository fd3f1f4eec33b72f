#!/usr/bin/env bash
# kemascopia in real X windows on a virtual server: started on the sample
# images, it shows the panel and the image window with their titles, paints
# an image that is not blank, and ends with status 0 on Escape. Then, on the
# samples' series of 200 CT slices: two wheel notches show another picture,
# Home brings the first one back, and a middle drag changes the window.
# smoke.sh VIEWER SAMPLES_DIR
set -uo pipefail

if [ "${1:-}" != --inside ]; then
  for tool in xvfb-run xdotool xwd python3; do
    if ! command -v "$tool" >/dev/null; then
      echo "SKIPPED: $tool is not installed (./scripts/setup installs it); no real-window test"
      exit 77
    fi
  done
  # A display number of its own (several servers started at once by "-a"
  # alone can pick the same one), kept up while no client is connected
  # between the two runs.
  exec xvfb-run -a -n $((200 + $$ % 500)) -s "-screen 0 1280x1024x24 -noreset" bash "$0" --inside "$@"
fi
shift
viewer=$1
shift
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

QT_QPA_PLATFORM=xcb KEMASCOPIA_EXPORT_DIR="$work" XDG_CONFIG_HOME="$work" "$viewer" "$@" >"$work/out.txt" 2>&1 &
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

# A digest of the image window's pixels and the number of colours in it.
shot() {
  xwd -silent -id "$image" >"$work/$1.xwd" || fail "no screenshot of the image window"
  python3 - "$work/$1.xwd" <<'PY'
import hashlib, struct, sys
d = open(sys.argv[1], "rb").read()
h = struct.unpack(">25I", d[:100])
size, width, height, bpp, line, ncolors = h[0], h[4], h[5], h[11], h[12], h[19]
start = size + 12 * ncolors
step = bpp // 8
seen, digest = set(), hashlib.sha1()
for y in range(height):
    row = d[start + y * line: start + y * line + width * step]
    digest.update(row)
    for x in range(0, len(row), step):
        seen.add(row[x:x + 3])
print(digest.hexdigest()[:16], len(seen))
PY
}

escape_and_wait() {
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
}

read -r _ colours < <(shot first)
echo "distinct colours in the image window: $colours"
[ "$colours" -ge 3 ] || fail "the image window is blank"
# KEMA_SCREENSHOT=FILE.png: both windows as a picture (the README's).
if [ -n "${KEMA_SCREENSHOT:-}" ]; then
  xwd -silent -root >"$work/root.xwd" || fail "no screenshot of the screen"
  geometry() { xdotool getwindowgeometry --shell "$1" | tr '\n' ' '; }
  python3 - "$work/root.xwd" "$KEMA_SCREENSHOT" "$(geometry "$panel")" "$(geometry "$image")" <<'PY' || fail "no screenshot written"
import struct, sys, zlib
d = open(sys.argv[1], "rb").read()
h = struct.unpack(">25I", d[:100])
size, width, height, order, bpp, line, ncolors = h[0], h[4], h[5], h[7], h[11], h[12], h[19]
masks = h[14:17]
boxes = [dict(w.split("=") for w in g.split()) for g in sys.argv[3:5]]
x0 = max(0, min(int(b["X"]) for b in boxes)); y0 = max(0, min(int(b["Y"]) for b in boxes))
x1 = min(width, max(int(b["X"]) + int(b["WIDTH"]) for b in boxes))
y1 = min(height, max(int(b["Y"]) + int(b["HEIGHT"]) for b in boxes))
start, step = size + 12 * ncolors, bpp // 8
shifts = [(m & -m).bit_length() - 1 for m in masks]
raw = bytearray()
for y in range(y0, y1):
    raw.append(0)
    row = d[start + y * line:start + (y + 1) * line]
    for x in range(x0, x1):
        p = int.from_bytes(row[x * step:(x + 1) * step], "little" if order == 0 else "big")
        raw += bytes((p & m) >> s for m, s in zip(masks, shifts))
chunk = lambda t, b: struct.pack(">I", len(b)) + t + b + struct.pack(">I", zlib.crc32(t + b))
png = b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", x1 - x0, y1 - y0, 8, 2, 0, 0, 0))
png += chunk(b"IDAT", zlib.compress(bytes(raw), 9)) + chunk(b"IEND", b"")
open(sys.argv[2], "wb").write(png)
print("screenshot:", sys.argv[2], x1 - x0, "x", y1 - y0)
PY
fi
escape_and_wait
echo "PASSED: both windows, a non-blank image, exit 0 on Escape"

# The samples' CT series: 200 slices.
series=$1/dicom_ct_series
[ -d "$series" ] || fail "no sample series $series"
QT_QPA_PLATFORM=xcb KEMASCOPIA_EXPORT_DIR="$work" XDG_CONFIG_HOME="$work" "$viewer" "$series" >"$work/out.txt" 2>&1 &
pid=$!
panel="" image=""
for _ in $(seq 1 100); do
  panel=$(xdotool search --name '^Kemascopia 1\.2 Rev-10 Tools$' 2>/dev/null | head -n 1)
  image=$(xdotool search --name '^Kemascopia: .+' 2>/dev/null | head -n 1)
  [ -n "$panel" ] && [ -n "$image" ] && break
  kill -0 "$pid" 2>/dev/null || fail "the viewer ended before its windows appeared"
  sleep 0.2
done
[ -n "$image" ] || fail "no image window for the 200-slice folder"
# The first slice shows at once; the rest arrives in the background.
for _ in $(seq 1 100); do
  grep -q "total: 200 images in memory" "$work/out.txt" && break
  sleep 0.2
done
grep -q "total: 200 images in memory" "$work/out.txt" || fail "the folder did not load 200 images"
sleep 1
read -r first _ < <(shot first)
xdotool mousemove --window "$image" 100 100
xdotool click 5 && sleep 0.3 && xdotool click 5 && sleep 0.5
read -r wheeled _ < <(shot wheeled)
[ "$wheeled" != "$first" ] || fail "two wheel notches left the picture as it was"
xdotool windowfocus --sync "$image" 2>/dev/null || xdotool windowfocus "$image"
xdotool key Home && sleep 0.5
read -r home _ < <(shot home)
[ "$home" = "$first" ] || fail "Home did not bring the first image back"
xdotool mousemove --window "$image" 100 100 mousedown 2
xdotool mousemove --window "$image" 160 140 && sleep 0.2
xdotool mouseup 2 && sleep 0.5
read -r windowed _ < <(shot windowed)
[ "$windowed" != "$home" ] || fail "a middle drag left the window as it was"
escape_and_wait
echo "PASSED: 200 slices: the wheel steps, Home comes back, a middle drag windows"
