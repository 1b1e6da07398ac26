#!/usr/bin/env bash
# Packs and unpacks two trees with vornback-cli and, in the same run on the same trees,
# with Info-ZIP zip/unzip and bsdtar, and prints medians, ratios, archive sizes and peak
# memory. The trees: `vornback-cli make-sample --scale 100` (about 400 MB: databases that
# deflate well, encrypted year databases and images that do not, about 1,600 files) and
# 20,000 small text files in 100 folders.
#
# Usage: bench/pack_unpack.sh [CLI] [RUNS]
#   CLI   the vornback-cli to measure (default: build/default/cli/vornback-cli)
#   RUNS  runs per measurement (default: 5); the median counts
# Environment: BENCH_DIR (default: a new folder below /tmp), kept when BENCH_KEEP=1.
#
# The page cache cannot be dropped here, so every run is warm: the trees and archives are
# read from memory, and what is measured is compression, file creation and copying.
set -euo pipefail

here="$(cd "$(dirname "$0")/.." && pwd)"
cli="${1:-$here/build/default/cli/vornback-cli}"
runs="${2:-5}"
work="${BENCH_DIR:-$(mktemp -d /tmp/vornback-bench.XXXXXX)}"
mkdir -p "$work"
[ -x "$cli" ] || { echo "no vornback-cli at $cli (build it first)" >&2; exit 2; }
for tool in zip unzip bsdtar /usr/bin/time /usr/bin/python3; do
    command -v "$tool" >/dev/null || { echo "missing $tool (run scripts/deps)" >&2; exit 2; }
done
cleanup() { [ "${BENCH_KEEP:-0}" = 1 ] || rm -rf "$work"; }
trap cleanup EXIT

echo "== trees in $work"
if [ ! -d "$work/firm" ]; then
    "$cli" make-sample "$work/firm" --scale 100 >/dev/null
fi
if [ ! -d "$work/small" ]; then
    /usr/bin/python3 - "$work/small" <<'EOF'
import os, random, sys
root = sys.argv[1]
words = ["ledger", "invoice", "1234.50", "VAT", "account", "debit", "credit", "2023-04-01",
         "Firm", "year", "voucher", "cash", "bank", "opening", "closing", "stock"]
r = random.Random(20000)
for i in range(20000):
    folder = os.path.join(root, "Yr%d" % (i // 2000 + 1), "d%02d" % (i % 10))
    os.makedirs(folder, exist_ok=True)
    size = r.randint(200, 6000)
    text = []
    n = 0
    while n < size:
        w = words[r.randrange(len(words))] + (" " if r.random() < 0.85 else "\n")
        text.append(w)
        n += len(w)
    with open(os.path.join(folder, "Doc%05d.txt" % i), "w") as f:
        f.write("".join(text)[:size])
EOF
fi
for tree in firm small; do
    printf '%-6s %6d files, %s\n' "$tree" "$(find "$work/$tree" -type f | wc -l)" \
        "$(du -sh --apparent-size "$work/$tree" | cut -f1)"
done

# Runs a command RUNS times under /usr/bin/time; prepare runs before each (untimed), and a
# sync after it, so that no run pays for the writing back of the one before.
# Appends "name seconds maxrss_kib" lines to the results file.
results="$work/results.txt"
: >"$results"
measure() {
    local name="$1" prepare="$2" command="$3"
    for ((i = 0; i < runs; i++)); do
        eval "$prepare"
        sync
        /usr/bin/time -f "%e %M" -o "$work/time.txt" bash -c "$command" >/dev/null
        echo "$name $(cat "$work/time.txt")" >>"$results"
    done
}

for tree in firm small; do
    src="$work/$tree"
    a="$work/$tree"
    echo "== $tree: pack"
    measure "$tree.pack.vornback" "rm -f '$a-vb.zip'" "'$cli' pack '$src' '$a-vb.zip'"
    measure "$tree.pack.zip" "rm -f '$a-zip.zip'" "cd '$src' && zip -r -6 -q '$a-zip.zip' ."
    measure "$tree.pack.bsdtar" "rm -f '$a-bsdtar.zip'" \
        "bsdtar -c --format zip --options zip:compression-level=6 -f '$a-bsdtar.zip' -C '$src' ."
    for z in vb zip bsdtar; do
        echo "$tree.size.$z $(stat -c %s "$a-$z.zip")" >>"$results"
    done
    "$cli" verify "$a-vb.zip" >/dev/null
    unzip -tq "$a-vb.zip" >/dev/null

    # Every tool unpacks the same archive: vornback's.
    echo "== $tree: unpack"
    out="$work/out"
    measure "$tree.unpack.vornback" "rm -rf '$out'" "'$cli' unpack '$a-vb.zip' '$out'"
    diff -r "$src" "$out" >/dev/null || { echo "unpacked tree differs" >&2; exit 1; }
    measure "$tree.unpack.unzip" "rm -rf '$out'; mkdir '$out'" "unzip -q '$a-vb.zip' -d '$out'"
    measure "$tree.unpack.bsdtar" "rm -rf '$out'; mkdir '$out'" "bsdtar -x -f '$a-vb.zip' -C '$out'"
    rm -rf "$out"
done

/usr/bin/python3 - "$results" "$runs" <<'EOF'
import statistics, sys
rows = {}
for line in open(sys.argv[1]):
    name, *values = line.split()
    rows.setdefault(name, []).append([float(v) for v in values])
print()
print("runs per measurement: %s (warm page cache); time = median seconds, peak = largest "
      "maximum resident set size" % sys.argv[2])
for tree in ("firm", "small"):
    for op, peers in (("pack", ("zip", "bsdtar")), ("unpack", ("unzip", "bsdtar"))):
        ours = statistics.median(r[0] for r in rows["%s.%s.vornback" % (tree, op)])
        print()
        print("%-6s %-7s %-9s %8s %10s %9s" % (tree, op, "tool", "time s", "peak MiB", "speed-up"))
        for tool in ("vornback",) + peers:
            rs = rows["%s.%s.%s" % (tree, op, tool)]
            t = statistics.median(r[0] for r in rs)
            peak = max(r[1] for r in rs) / 1024
            print("%-6s %-7s %-9s %8.2f %10.1f %8.2fx" % ("", "", tool, t, peak, t / ours if ours else 0))
        fastest = min(statistics.median(r[0] for r in rows["%s.%s.%s" % (tree, op, p)]) for p in peers)
        print("%-6s %-7s vornback is %.2fx faster than the fastest peer" % ("", "", fastest / ours))
    sizes = {z: int(rows["%s.size.%s" % (tree, z)][0][0]) for z in ("vb", "zip", "bsdtar")}
    print("%-6s archive bytes: vornback %d, zip -6 %d (%.3f), bsdtar %d (%.3f)" % (
        tree, sizes["vb"], sizes["zip"], sizes["vb"] / sizes["zip"], sizes["bsdtar"],
        sizes["vb"] / sizes["bsdtar"]))
EOF
