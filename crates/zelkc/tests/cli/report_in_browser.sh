#!/usr/bin/env bash
# Opens the HTML report in headless Chromium and checks, in the DOM after the
# page's script ran, that it drew the buffers of the tile chosen by the
# address fragment (or the --tile default). Exits 77 (skipped) when Chromium
# is not installed.
#
#   report_in_browser.sh <zelkc> <work-dir>
set -euo pipefail

zelkc=$1
work=$2
chromium=$(command -v chromium || command -v chromium-browser || true)
if [ -z "$chromium" ]; then
  echo "chromium is not installed: skipping"
  exit 77
fi

rm -rf "$work"
mkdir -p "$work"
"$zelkc" compile --report "$work/report.html" >/dev/null
"$zelkc" compile --report "$work/report-tile8.html" --tile 8 >/dev/null

# The DOM of `page` after load, with a fresh profile each time.
dump() {
  local profile
  profile=$(mktemp -d "$work/profile.XXXXXX")
  timeout 120 "$chromium" --headless --no-sandbox --disable-gpu \
    --disable-background-networking --disable-component-update --disable-sync \
    --no-first-run --user-data-dir="$profile" --dump-dom "file://$work/$1" \
    2>>"$work/chromium.log"
}

failures=0
# check <page> <tile> <buffers drawn> <caption start>
check() {
  local dom drawn
  dom=$(dump "$1")
  drawn=$( (grep -o '<g class="buffer"' <<<"$dom" || true) | wc -l)
  if [ "$drawn" -ne "$3" ]; then
    echo "FAIL $1: drew $drawn buffers, expected $3"
    failures=$((failures + 1))
  fi
  if ! grep -q "<svg[^>]*id=\"memory-map\"[^>]*data-tile=\"$2\" data-buffers=\"$3\"" <<<"$dom"; then
    echo "FAIL $1: the memory map is not marked as tile $2 with $3 buffers"
    failures=$((failures + 1))
  fi
  if ! grep -q "id=\"map-caption\"[^>]*>$4" <<<"$dom"; then
    echo "FAIL $1: caption does not start with: $4"
    failures=$((failures + 1))
  fi
  echo "checked $1: tile $2, $drawn buffers"
}

# The default block: all 22 tensors span tile 0, 20 of them tile 5, the two
# feed-forward weights alone reach tile 40.
check "report.html" 0 22 "Tile 0: 22 buffers, peak 9216 bytes"
check "report.html#tile=5" 5 20 "Tile 5: 20 buffers"
check "report.html#tile=40" 40 2 "Tile 40: 2 buffers, peak 2048 bytes"
check "report.html#tile=99" 99 0 "There is no tile 99"
check "report-tile8.html" 8 8 "Tile 8: 8 buffers, peak 6144 bytes"

if [ "$failures" -ne 0 ]; then
  echo "--- chromium log ---"
  cat "$work/chromium.log"
  exit 1
fi
