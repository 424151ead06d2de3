#!/usr/bin/env bash
# bench/capture/recognition_models.sh PAGES_DIR [PATIENTS]
#
# Reads the rendered record pages of tests/capture/identification/
# browser_pages.py (their PNGs) with the tesseract command at twice their
# size, as a capture does, once per candidate model: English with the
# application's ASCII whitelist, Debian's Latin script model and English
# with Spanish, French and German, the last two with the accented Latin
# letters allowed. Prints, per model, how many patients' names (as booked,
# accents and all, ignoring case) were read letter for letter, how many
# once accents are ignored, and the reading time.
set -euo pipefail
pages=$1
patients=${2:-$(dirname "$0")/../../tests/capture/identification/patients.json}
data=/usr/share/tesseract-ocr/5/tessdata
ascii="ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz.,_'-/:0123456789 "
latin="${ascii}ÀÁÂÃÄÅÆÇÈÉÊËÌÍÎÏÑÒÓÔÕÖØÙÚÛÜÝßàáâãäåæçèéêëìíîïñòóôõöøùúûüýÿŒœ"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for png in "$pages"/*.png; do
  convert "$png" -resize 200% "$work/$(basename "$png")"
done
run() { # NAME LANG WHITELIST
  local name=$1 lang=$2 list=$3 start end
  start=$(date +%s.%N)
  for png in "$work"/*.png; do
    OMP_THREAD_LIMIT=1 tesseract "$png" "$work/$(basename "$png" .png).$name" --tessdata-dir "$data" -l "$lang" \
      -c tessedit_char_whitelist="$list" -c debug_file=/dev/null >/dev/null 2>&1
  done
  end=$(date +%s.%N)
  python3 - "$patients" "$pages/pages.json" "$work" "$name" "$start" "$end" <<'PY'
import json, sys, unicodedata, os
patients, index, work, name, start, end = sys.argv[1:]
def plain(s):
    return "".join(c for c in unicodedata.normalize("NFD", s) if unicodedata.category(c) != "Mn").lower()
exact = loose = total = 0
accented_exact = accented_total = 0
for page in json.load(open(index)):
    if not page["expected"]:
        continue
    text = open(os.path.join(work, page["page"] + "." + name + ".txt"), encoding="utf-8").read()
    words = [w for w in page["expected"].replace("-", " ").replace("'", " ").split()]
    total += len(words)
    acc = [w for w in words if plain(w) != w.lower()]
    accented_total += len(acc)
    for w in words:
        if w.lower() in text.lower():
            exact += 1
            accented_exact += w in acc
        if plain(w) in plain(text):
            loose += 1
print("%-10s name words read exactly %3d/%d (accented %d/%d), ignoring accents %3d/%d, %.1f s for %d pages"
      % (name, exact, total, accented_exact, accented_total, loose, total, float(end) - float(start),
         len(json.load(open(index)))))
PY
}
run eng eng "$ascii"
run latin Latin "$latin"
run eng+spa+fra+deu eng+spa+fra+deu "$latin"
