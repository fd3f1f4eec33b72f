#!/usr/bin/env bash
# What `cmake --install` puts in place, read as a user and a desktop would:
# the programs, man pages that document every command and option the
# programs' usage texts name, the package documents, and (with the viewer)
# a valid menu entry and file types that send our formats to the viewer.
# install_layout.sh BUILD_DIR SAMPLES_DIR
set -uo pipefail
build=$1
samples=$2
prefix=$build/install_test
rm -rf "$prefix"
cmake --install "$build" --prefix "$prefix" >/dev/null || { echo "FAILED: cmake --install"; exit 1; }

failures=0
fail() { echo "FAILED: $*"; failures=$((failures + 1)); }
share=$prefix/share

# The man page of a program must name each command and option its usage
# text names; an option added without its page is caught here.
man_covers() {
  local page=$1 usage=$2 token
  [ -s "$page" ] || { fail "no man page $page"; return; }
  gzip -t "$page" || { fail "$page is not gzip data"; return; }
  local text
  text=$(gzip -dc "$page" | sed 's/\\-/-/g')
  for token in $(grep -oE '(^|[[ ])--?[a-z]([a-z-]*[a-z])?' <<<"$usage" | tr -d '[ ' | sort -u); do
    grep -qE -- "(^|[^a-z-])$token([^a-z-]|$)" <<<"$text" || fail "$(basename "$page") does not mention $token"
  done
  for token in $(sed -n '/^commands:/,/^$/p' <<<"$usage" | grep -E '^  [a-z]' | awk '{ print $1 }'); do
    grep -qE "^\.(B|BR|BI|TP) +$token( |$)" <<<"$text" || fail "$(basename "$page") does not describe the command $token"
  done
}

test -x "$prefix/bin/kema" || fail "bin/kema is not installed"
man_covers "$share/man/man1/kema.1.gz" "$("$prefix/bin/kema" --help)"
test -s "$share/doc/kemascopia/copyright" || fail "no copyright file"

# The Python module, when built, imports from where it is installed.
if ls "$build"/python/kemascopia/_kemascopia*.so >/dev/null 2>&1; then
  PYTHONPATH=$prefix/lib/python3/dist-packages /usr/bin/python3 -c \
    'import kemascopia, kemascopia.scan; assert kemascopia.formats()' 2>&1 ||
    fail "the installed Python module does not import"
fi
grep -q '^License: Apache-2.0' "$share/doc/kemascopia/copyright" || fail "the copyright file names no licence"
gzip -dc "$share/doc/kemascopia/changelog.gz" 2>/dev/null | head -n 1 | grep -qE '^kemascopia \([0-9.]+\) ' ||
  fail "changelog.gz does not start with a kemascopia entry"

if [ -e "$build/viewer/kemascopia" ]; then
  test -x "$prefix/bin/kemascopia" || fail "bin/kemascopia is not installed"
  # An unknown option prints the usage without opening a display.
  man_covers "$share/man/man1/kemascopia.1.gz" "$("$prefix/bin/kemascopia" --no-such-option 2>/dev/null)"
  desktop=$share/applications/kemascopia.desktop
  test -s "$share/icons/hicolor/scalable/apps/kemascopia.svg" || fail "no icon"
  grep -q '^Exec=kemascopia %F$' "$desktop" || fail "the menu entry does not start kemascopia on files"
  if command -v desktop-file-validate >/dev/null; then
    # Hints too: a second main category puts the entry twice in menus.
    out=$(desktop-file-validate "$desktop" 2>&1)
    [ -z "$out" ] || fail "desktop-file-validate: $out"
  fi

  # Every type the menu entry claims is one we define, and the reverse.
  xml=$share/mime/packages/kemascopia.xml
  defined=$(grep -oE '<mime-type type="[^"]+"' "$xml" | cut -d'"' -f2 | sort)
  claimed=$(sed -n 's/^MimeType=//p' "$desktop" | tr ';' '\n' | grep -v '^image/jpeg$' | grep . | sort)
  [ "$defined" = "$claimed" ] || fail "types defined and claimed differ: $(diff <(echo "$defined") <(echo "$claimed") | grep '^[<>]' | tr '\n' ' ')"

  # The types as a file manager sees them: our rules next to the freedesktop
  # ones, in a private database.
  if command -v update-mime-database >/dev/null && command -v update-desktop-database >/dev/null &&
     command -v gio >/dev/null &&
     [ -f /usr/share/mime/packages/freedesktop.org.xml ]; then
    xdg=$(mktemp -d)
    trap 'rm -rf "$xdg"' EXIT
    mkdir -p "$xdg/mime/packages" "$xdg/applications" "$xdg/files"
    cp /usr/share/mime/packages/freedesktop.org.xml "$xml" "$xdg/mime/packages/"
    cp "$desktop" "$xdg/applications/"
    update-mime-database "$xdg/mime" >/dev/null 2>&1 || fail "update-mime-database refuses our types"
    # As the package's triggers do; a desktop also wants the program on PATH.
    update-desktop-database "$xdg/applications"
    export PATH="$prefix/bin:$PATH"
    # Without a name only the magic rules can tell.
    cp "$samples/ge_mr_signa4_db.gen" "$xdg/files/genesis_signa4"
    cp "$samples/dicom_multiframe.dcm" "$xdg/files/dicom_no_extension"
    cp "$samples/raw_header.raw" "$xdg/files/raw_header"
    printf 'x' >"$xdg/files/not_genesis.gen"
    while read -r file type; do
      got=$(XDG_DATA_HOME="$xdg" XDG_DATA_DIRS="$xdg" gio info -a standard::content-type "$file" 2>/dev/null |
            sed -n 's/^ *standard::content-type: //p')
      [ "$got" = "$type" ] || { fail "$(basename "$file") is typed '$got', not $type"; continue; }
      app=$(XDG_DATA_HOME="$xdg" XDG_DATA_DIRS="$xdg" XDG_CONFIG_HOME="$xdg" XDG_CONFIG_DIRS="$xdg" gio mime "$type" 2>/dev/null | head -n 1)
      [[ "$app" == *kemascopia.desktop* ]] || fail "$type does not open with the viewer: $app"
    done <<LIST
$samples/ge_ct_rect_512.gen application/x-ge-genesis
$samples/ge_mr_compressed.gen application/x-ge-genesis
$xdg/files/not_genesis.gen application/x-ge-genesis
$xdg/files/genesis_signa4 application/x-ge-genesis
$samples/dicom_ct_series/ct_01.dcm application/dicom
$xdg/files/dicom_no_extension application/dicom
$samples/nm_interfile.h33 application/x-interfile
$samples/ct_materialise.ima application/x-materialise-image
$samples/gli_sample001.igb application/x-igb
$samples/mr_smis.sur application/x-smis-image
$xdg/files/raw_header application/x-kemascopia-raw
LIST
  else
    echo "note: update-mime-database, update-desktop-database or gio missing, file types not checked as a desktop reads them"
  fi
fi

[ "$failures" -eq 0 ] || exit 1
echo "install layout: ok"
