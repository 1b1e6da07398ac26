#!/usr/bin/env bash
# Packs and unpacks trees with vornback-cli and, in the same run on the same trees, with
# Info-ZIP zip/unzip (-6), bsdtar (zip format, level 6) and 7-Zip's zip writer
# (7z a -tzip -mx=5 -mmt=on) and extractor, and prints medians, ratios to the fastest
# peer, archive sizes and peak memory. The trees:
#   firm   `vornback-cli make-sample --scale 100`: year databases and exported reports of
#          several MB that deflate well, encrypted year databases and scans that do not;
#   small  20,000 small text files in 100 folders;
#   huge   one 4 GiB compressible file (vornback and zip only, one run each); and, to show
#          how packing time grows with bytes, its first 400 MiB as a file of its own
#          (vornback only, three runs).
#
# Usage: bench/pack_unpack.sh [CLI] [RUNS]
#   CLI   the vornback-cli to measure (default: build/default/cli/vornback-cli)
#   RUNS  runs per measurement on firm and small (default: 5); the median counts
# Environment: BENCH_DIR (default: a new folder below /tmp), kept when BENCH_KEEP=1;
#   BENCH_TREES the trees to measure (default "firm small huge").
#
# The page cache cannot be dropped here, so every run is warm: the trees and archives are
# read from memory. vornback's unpack syncs what it wrote before it returns, the others do
# not: their unpack is timed with a `sync` after it, so that every unpack is measured until
# its files are on the disk. Every unpack goes into a new folder and none is removed before
# the end: ext4 passes over inodes freed in the last minutes when it creates files, so
# removing one run's files before the next makes file creation many times slower, for
# every tool alike, and measures the file system instead of the tools.
set -euo pipefail

here="$(cd "$(dirname "$0")/.." && pwd)"
cli="${1:-$here/build/default/cli/vornback-cli}"
runs="${2:-5}"
work="${BENCH_DIR:-$(mktemp -d /tmp/vornback-bench.XXXXXX)}"
mkdir -p "$work"
[ -x "$cli" ] || { echo "no vornback-cli at $cli (build it first)" >&2; exit 2; }
for tool in zip unzip bsdtar 7z /usr/bin/time /usr/bin/python3; do
    command -v "$tool" >/dev/null || { echo "missing $tool (run scripts/deps)" >&2; exit 2; }
done
cleanup() { [ "${BENCH_KEEP:-0}" = 1 ] || rm -rf "$work"; }
trap cleanup EXIT

load="$(cut -d' ' -f1 /proc/loadavg)"
echo "== load average at start: $load ($(nproc) cores)"
if awk -v l="$load" 'BEGIN { exit !(l > 0.5) }'; then
    echo "WARNING: the machine was busy at start (load $load > 0.5); the times are not those of an idle machine"
fi

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
trees="${BENCH_TREES:-firm small huge}"
if [[ " $trees " == *" huge "* ]]; then
    if [ ! -d "$work/huge" ]; then
        # 64 blocks of 64 MiB of voucher lines; each block differs from the others only
        # beyond deflate's window, so the file compresses as one of real records would.
        mkdir -p "$work/huge"
        /usr/bin/python3 - "$work/block" <<'EOF'
import random, sys
r = random.Random(4096)
accounts = ["Cash", "Bank of Baroda", "Sales", "Purchase", "Freight", "Rent", "Salary",
            "Sundry Debtors", "Sundry Creditors", "GST Input", "GST Output", "Capital"]
lines = []
size = 0
n = 0
while size < 64 * 1024 * 1024:
    n += 1
    line = "V%07d|2023-%02d-%02d|%-18s|%-18s|%12.2f|%06d|%s\r\n" % (
        n, r.randint(1, 12), r.randint(1, 28), r.choice(accounts), r.choice(accounts),
        r.randint(100, 2500000) / 100, r.randint(0, 999999), "being goods sold on credit")
    lines.append(line)
    size += len(line)
open(sys.argv[1], "w").write("".join(lines)[:64 * 1024 * 1024])
EOF
        for ((i = 0; i < 64; i++)); do cat "$work/block"; done >"$work/huge/Vch.dat"
        rm -f "$work/block"
    fi
    if [ ! -d "$work/part" ]; then
        mkdir -p "$work/part"
        head -c $((400 * 1024 * 1024)) "$work/huge/Vch.dat" >"$work/part/Vch.dat"
    fi
fi
for tree in $trees; do
    printf '%-6s %6d files, %s\n' "$tree" "$(find "$work/$tree" -type f | wc -l)" \
        "$(du -sh --apparent-size "$work/$tree" | cut -f1)"
done

# Runs a command n times under /usr/bin/time; prepare runs before each (untimed), and a
# sync after it, so that no run pays for the writing back of the one before. RUN numbers
# the runs of the whole benchmark, for folders of their own.
# Appends "name seconds maxrss_kib" lines to the results file.
results="$work/results.txt"
: >"$results"
export RUN=0
measure() {
    local name="$1" n="$2" prepare="$3" command="$4"
    for ((i = 0; i < n; i++)); do
        RUN=$((RUN + 1))
        eval "$prepare"
        sync
        /usr/bin/time -f "%e %M" -o "$work/time.txt" bash -c "$command" >/dev/null
        echo "$name $(cat "$work/time.txt")" >>"$results"
    done
}

if [[ " $trees " == *" huge "* ]]; then
    echo "== part: pack"
    measure "part.pack.vornback" 3 "rm -f '$work/part-vb.zip'" \
        "'$cli' pack '$work/part' '$work/part-vb.zip'"
    rm -f "$work/part-vb.zip"
fi
for tree in $trees; do
    src="$work/$tree"
    a="$work/$tree"
    n="$runs"
    peers="zip bsdtar 7z"
    if [ "$tree" = huge ]; then
        n=1
        peers="zip"
    fi
    echo "== $tree: pack"
    measure "$tree.pack.vornback" "$n" "rm -f '$a-vb.zip'" "'$cli' pack '$src' '$a-vb.zip'"
    measure "$tree.pack.zip" "$n" "rm -f '$a-zip.zip'" "cd '$src' && zip -r -6 -q '$a-zip.zip' ."
    if [ "$tree" != huge ]; then
        measure "$tree.pack.bsdtar" "$n" "rm -f '$a-bsdtar.zip'" \
            "bsdtar -c --format zip --options zip:compression-level=6 -f '$a-bsdtar.zip' -C '$src' ."
        measure "$tree.pack.7z" "$n" "rm -f '$a-7z.zip'" \
            "cd '$src' && 7z a -tzip -mx=5 -mmt=on -bd '$a-7z.zip' . >/dev/null"
    fi
    for z in vb $peers; do
        echo "$tree.size.$z $(stat -c %s "$a-$z.zip")" >>"$results"
    done
    "$cli" verify "$a-vb.zip" >/dev/null
    unzip -tq "$a-vb.zip" >/dev/null

    # Every tool unpacks the same archive: vornback's.
    echo "== $tree: unpack"
    out="$work/out.$tree"
    mkdir -p "$out"
    # Each run unpacks into a folder of its own, see above; the huge tree's single file is
    # removed at once.
    clear=":"
    [ "$tree" = huge ] && clear="rm -rf '$out'/*"
    measure "$tree.unpack.vornback" "$n" "$clear" "'$cli' unpack '$a-vb.zip' '$out/'\$RUN"
    diff -r "$src" "$out/$RUN" >/dev/null || { echo "unpacked tree differs" >&2; exit 1; }
    measure "$tree.unpack.unzip" "$n" "$clear; mkdir '$out/'\$RUN" \
        "unzip -q '$a-vb.zip' -d '$out/'\$RUN && sync"
    if [ "$tree" != huge ]; then
        measure "$tree.unpack.bsdtar" "$n" "mkdir '$out/'\$RUN" \
            "bsdtar -x -f '$a-vb.zip' -C '$out/'\$RUN && sync"
        measure "$tree.unpack.7z" "$n" "mkdir '$out/'\$RUN" \
            "7z x -y -bd '-o$out/'\$RUN '$a-vb.zip' >/dev/null && sync"
    fi
    rm -f "$a"-*.zip
done
rm -rf "$work"/out.*

/usr/bin/python3 - "$results" "$runs" "$load" $trees <<'EOF'
import statistics, sys
rows = {}
for line in open(sys.argv[1]):
    name, *values = line.split()
    rows.setdefault(name, []).append([float(v) for v in values])
print()
print("load at start %s; runs per measurement: %s on firm and small, 1 on huge (warm page "
      "cache); time = median seconds, peak = largest maximum resident set size" % (sys.argv[3], sys.argv[2]))
med = lambda k: statistics.median(r[0] for r in rows[k])
for tree in sys.argv[4:]:
    packPeers = ("zip",) if tree == "huge" else ("zip", "bsdtar", "7z")
    unpackPeers = ("unzip",) if tree == "huge" else ("unzip", "bsdtar", "7z")
    for op, peers in (("pack", packPeers), ("unpack", unpackPeers)):
        ours = med("%s.%s.vornback" % (tree, op))
        print()
        print("%-6s %-7s %-9s %8s %10s %9s" % (tree, op, "tool", "time s", "peak MiB", "speed-up"))
        for tool in ("vornback",) + peers:
            rs = rows["%s.%s.%s" % (tree, op, tool)]
            t = med("%s.%s.%s" % (tree, op, tool))
            peak = max(r[1] for r in rs) / 1024
            print("%-6s %-7s %-9s %8.2f %10.1f %8.2fx" % ("", "", tool, t, peak, t / ours if ours else 0))
        fastest = min(med("%s.%s.%s" % (tree, op, p)) for p in peers)
        print("%-6s %-7s vornback is %.2fx the fastest peer" % ("", "", fastest / ours if ours else 0))
    sizes = {z: int(rows["%s.size.%s" % (tree, z)][0][0]) for z in ("vb",) + packPeers}
    print("%-6s archive bytes: vornback %d; %s" % (tree, sizes["vb"], ", ".join(
        "%s %d (vornback/%s %.4f)" % (z, sizes[z], z, sizes["vb"] / sizes[z]) for z in packPeers)))
if "huge" in sys.argv[4:] and "firm" in sys.argv[4:]:
    print()
    print("huge pack time / firm pack time: %.2f" % (med("huge.pack.vornback") / med("firm.pack.vornback")))
if "huge" in sys.argv[4:]:
    print("huge pack time / pack time of its first 400 MiB: %.2f (%.2f s, median of 3; bytes 10.24x)"
          % (med("huge.pack.vornback") / med("part.pack.vornback"), med("part.pack.vornback")))
EOF
