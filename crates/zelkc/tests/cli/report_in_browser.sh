#!/usr/bin/env bash
# Opens the HTML report in headless Chromium and checks, in the DOM after the
# page's script ran, that it drew the buffers of the tile and phase range
# chosen by the address fragment (or the --tile default), that it lists an
# exchange's pairs when they are opened, and that the script threw nothing
# (Chromium logs every uncaught exception). Exits 77 (skipped) when Chromium
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
"$zelkc" compile --layers 2 --sequence 384 --hidden 768 --heads 12 --feed-forward 3072 \
  --tiles 1472 --report "$work/report-large.html" >/dev/null
# A pipeline of three chips; a script added to its page writes, once every
# chip's report has drawn, which chip is shown and each chip's map.
"$zelkc" compile --layers 4 --tiles 16 --data-limit 0x58000 --chips auto \
  --report "$work/pipeline.html" >/dev/null
sed 's|</body>|<script>window.addEventListener("load", function () { var maps = [], shown = []; document.querySelectorAll("iframe.chip").forEach(function (f, i) { var m = f.contentDocument.getElementById("memory-map"); maps.push(m.getAttribute("data-tile") + "/" + m.getAttribute("data-buffers")); if (f.style.display !== "none") { shown.push(i); } }); document.body.setAttribute("data-maps", maps.join(" ")); document.body.setAttribute("data-shown", shown.join(" ")); });</script></body>|' \
  "$work/pipeline.html" >"$work/pipeline-probed.html"
# The same page with every exchange's pairs opened, as a reader would.
sed 's|</body>|<script>document.querySelectorAll("details").forEach(function (d) { d.open = true; });</script></body>|' \
  "$work/report.html" >"$work/report-opened.html"

# The DOM of `page` after load, with a fresh profile each time.
dump() {
  local profile
  profile=$(mktemp -d "$work/profile.XXXXXX")
  timeout 120 "$chromium" --headless --no-sandbox --disable-gpu --disable-quic \
    --disable-background-networking --disable-component-update --disable-sync \
    --no-first-run --user-data-dir="$profile" --enable-logging=stderr --v=0 \
    --virtual-time-budget=2000 --dump-dom "file://$work/$1" 2>"$work/page.log"
  cat "$work/page.log" >>"$work/chromium.log"
  if grep -q 'Uncaught' "$work/page.log"; then
    echo "FAIL $1: the page's script threw:" >&2
    grep 'Uncaught' "$work/page.log" >&2
    return 1
  fi
}

failures=0
# check <page> <tile> <buffers drawn> <caption start>
check() {
  local dom drawn
  if ! dom=$(dump "$1"); then
    failures=$((failures + 1))
    return
  fi
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
# Phases 8 to 12 of tile 0: the 10 buffers whose lifetimes meet them.
check "report.html#tile=0&phases=8-12" 0 10 "Tile 0: 22 buffers, .* Phases 8 to 12: 10 buffers live"
# Two BERT-base blocks on 1,472 tiles: the last run holds the feed-forward
# tensors of each block.
check "report-large.html#tile=1471" 1471 16 "Tile 1471: 16 buffers"

# The first exchange sends attention_softmax from tiles 0-3 to tiles 4-7.
if dom=$(dump "report-opened.html"); then
  if ! grep -q '<span class="pairs">0→4  1→5  2→6  3→7</span>' <<<"$dom"; then
    echo "FAIL report-opened.html: the pairs of the first exchange are not listed"
    failures=$((failures + 1))
  fi
  echo "checked report-opened.html: pairs"
else
  failures=$((failures + 1))
fi

# The bottleneck, chip 2, is shown first; the address picks another.
# check_chips <page> <shown chip>
check_chips() {
  local dom
  if ! dom=$(dump "$1"); then
    failures=$((failures + 1))
    return
  fi
  if ! grep -q "<body data-maps=\"0/22 0/36 0/29\" data-shown=\"$2\">" <<<"$dom"; then
    echo "FAIL $1: expected chip $2 shown and every chip's map drawn, got: $(grep -o '<body[^>]*>' <<<"$dom")"
    failures=$((failures + 1))
  fi
  echo "checked $1: chip $2"
}
check_chips "pipeline-probed.html" 2
check_chips "pipeline-probed.html#chip=0" 0

if [ "$failures" -ne 0 ]; then
  echo "--- the pages' console (all of Chromium's log is in $work/chromium.log) ---"
  grep 'CONSOLE' "$work/chromium.log" || true
  exit 1
fi
