#!/usr/bin/env bash
# How long headless Chromium takes to render zelkc's reports: the default
# block's and the 12-layer BERT-base stack's on 1,472 tiles, each taken as a
# 1400 x 1000 screenshot, side by side with an empty page (Chromium's own
# start and exit). Runs the three in turn, `runs` times, and prints each
# page's size, the median wall time of the screenshot and the median time
# the page itself took up to its load event (parsing, and the script drawing
# the memory map), as measured by a copy of the page that records it. With a
# directory after the runs, it keeps one screenshot of each report there.
#
#   report_render.sh <zelkc> [runs] [screenshot-dir]
set -euo pipefail

zelkc=$1
runs=${2:-5}
keep=${3:-}
chromium=$(command -v chromium || command -v chromium-browser)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

"$zelkc" compile --report "$work/default.html" >/dev/null
"$zelkc" compile --layers 12 --sequence 384 --hidden 768 --heads 12 --feed-forward 3072 \
  --tiles 1472 --report "$work/bert-base.html" >/dev/null
echo '<!DOCTYPE html><html><head><title>empty</title></head><body></body></html>' >"$work/empty.html"

run_chromium() {
  local profile
  profile=$(mktemp -d "$work/profile.XXXXXX")
  "$chromium" --headless --no-sandbox --disable-gpu --disable-quic --no-first-run \
    --disable-background-networking --disable-component-update --disable-sync \
    --user-data-dir="$profile" --window-size=1400,1000 "$@" 2>/dev/null
  rm -rf "$profile"
}

# shot <page> <png>: prints the wall time in seconds.
shot() {
  local start end
  start=$(date +%s.%N)
  run_chromium --screenshot="$2" "file://$work/$1" >/dev/null
  end=$(date +%s.%N)
  echo "$end - $start" | bc
}

# loaded <page>: prints the milliseconds from navigation to the load event.
loaded() {
  sed 's|</body>|<script>addEventListener("load", function () { document.documentElement.setAttribute("data-load-ms", String(performance.now())); });</script></body>|' \
    "$work/$1" >"$work/timed-$1"
  run_chromium --dump-dom "file://$work/timed-$1" | grep -o 'data-load-ms="[0-9.]*"' | grep -o '[0-9.]*'
}

median() {
  tr ' ' '\n' <<<"$1" | sed '/^$/d' | sort -g | awk '{a[NR] = $1} END {print a[int((NR + 1) / 2)]}'
}

pages=(empty.html default.html bert-base.html)
declare -A shots loads
for ((run = 0; run < runs; ++run)); do
  for page in "${pages[@]}"; do
    shots[$page]+="$(shot "$page" "$work/${page%.html}.png") "
    loads[$page]+="$(loaded "$page") "
  done
done

printf '%-16s %10s %16s %18s\n' page bytes "screenshot s" "page to load ms"
for page in "${pages[@]}"; do
  printf '%-16s %10s %16.2f %18.0f\n' "$page" "$(stat -c %s "$work/$page")" \
    "$(median "${shots[$page]}")" "$(median "${loads[$page]}")"
done

if [ -n "$keep" ]; then
  mkdir -p "$keep"
  cp "$work/default.png" "$keep/report-default.png"
  cp "$work/bert-base.png" "$keep/report-bert-base.png"
fi
