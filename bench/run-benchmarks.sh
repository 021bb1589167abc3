#!/usr/bin/env bash
# Runs every benchmark and prints one table: each figure of the client beside its reference,
# measured side by side in the same run, as the median of RUNS runs (default 3).
# Data goes to $VELMORA_BENCH_DIR (default /tmp/velmora-bench) and is kept for the next run.
# BENCH picks groups (default "local transfer channel"): "local" (digests, creation, search),
# "transfer", "channel", and "scale" (thousands of torrents: about 15 minutes more).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
export RUNS="${RUNS:-3}"
export VELMORA_BENCH_DIR="${VELMORA_BENCH_DIR:-/tmp/velmora-bench}"
groups="${BENCH:-local transfer channel}"
data="$VELMORA_BENCH_DIR"
mkdir -p "$data"

cmake --preset release >/dev/null
cmake --build "$root/build/release" -j"$(nproc)" >/dev/null
bin="$root/build/release/bench"
export VELMORA_BIN="${VELMORA_BIN:-$root/build/release/src/host/velmora}"
rows="$data/rows.tsv"
: > "$rows"

wants() { [[ " $groups " == *" $1 "* ]]; }

seconds() {  # the wall seconds of a command, its output discarded
    local start end
    start=$(date +%s.%N)
    "$@" > "$data/last-output" 2>&1
    end=$(date +%s.%N)
    echo "$end - $start" | bc -l
}
median() { printf '%s\n' "$@" | sort -g | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }

local_benchmarks() {
    local big="$data/random-2GiB.bin" catalogue="$data/catalogue-1GiB.csv"
    [ -s "$big" ] || head -c 2147483648 /dev/urandom > "$big"
    [ -s "$catalogue" ] || /usr/bin/python3 "$root/bench/make_catalogue.py" "$catalogue" 1024
    cat "$big" "$catalogue" > /dev/null  # both in the page cache, for every contender alike
    local -A ours refs
    local digests sha1 md5 plain adaptive _
    for _ in $(seq "$RUNS"); do
        digests="$("$bin/digest_bench" "$big")"
        sha1=$(awk '$1 == "sha1" {print $2}' <<<"$digests")
        md5=$(awk '$1 == "md5" {print $2}' <<<"$digests")
        ours[sha1]+="$sha1 "
        ours[md5]+="$md5 "
        refs[sha1]+="$(seconds openssl dgst -sha1 "$big") "
        refs[md5]+="$(seconds openssl dgst -md5 "$big") "
        read -r plain _ <<<"$("$bin/search_bench" "$catalogue" plain debian)"
        # the page's adaptive term: words in order, anything between, case counts
        read -r adaptive _ <<<"$("$bin/search_bench" "$catalogue" adaptive "live Debian")"
        ours[plain]+="$plain "
        ours[adaptive]+="$adaptive "
        # grep's output goes to a file: with /dev/null GNU grep stops at the first match
        refs[plain]+="$(seconds env LC_ALL=C grep -F -c Debian "$catalogue") "
        refs[adaptive]+="$(seconds env LC_ALL=C grep -E -c 'live.*Debian' "$catalogue") "
        # v1 with 4 MiB pieces, and hybrid (v1 and v2 hashes), beside mktorrent's 4 MiB pieces
        ours[create_v1]+="$("$bin/create_bench" "$big" "$data/velmora.torrent" v1 4194304) "
        ours[create_hybrid]+="$("$bin/create_bench" "$big" "$data/velmora.torrent" hybrid 4194304) "
        rm -f "$data/mktorrent.torrent"
        refs[create]+="$(seconds mktorrent -l 22 -o "$data/mktorrent.torrent" "$big") "
    done
    local big_mib=2048 catalogue_mib=$(( $(stat -c %s "$catalogue") / 1048576 ))
    speed_row() {  # name, MiB, our times, reference times, target, reference name
        printf 'ROW\t%s (MB/s, higher)\t%.0f\t%.0f\t%s\t%s\n' "$1" \
            "$(echo "$2 / $(median $3)" | bc -l)" "$(echo "$2 / $(median $4)" | bc -l)" "$5" "$6"
    }
    speed_row "SHA-1 of a 2 GiB file" "$big_mib" "${ours[sha1]}" "${refs[sha1]}" ">= 90%" \
        "openssl dgst -sha1"
    speed_row "MD5 of a 2 GiB file" "$big_mib" "${ours[md5]}" "${refs[md5]}" ">= 90%" \
        "openssl dgst -md5"
    speed_row "creation, v1, 4 MiB pieces" "$big_mib" "${ours[create_v1]}" "${refs[create]}" \
        ">= 90%" "mktorrent -l 22"
    speed_row "creation, hybrid, 4 MiB pieces" "$big_mib" "${ours[create_hybrid]}" \
        "${refs[create]}" ">= 90%" "mktorrent -l 22 (v1 only)"
    speed_row "plain search, 1 GiB catalogue" "$catalogue_mib" "${ours[plain]}" \
        "${refs[plain]}" ">= 70%" "LC_ALL=C grep -F -c"
    speed_row "adaptive search, 1 GiB catalogue" "$catalogue_mib" "${ours[adaptive]}" \
        "${refs[adaptive]}" "-" "LC_ALL=C grep -E -c"
}

# Benchmarks that start the client or an engine session run in a network namespace of their
# own with only loopback, where the machine allows it.
wants local && local_benchmarks | tee -a "$rows" >&2
wants transfer && "$root/tools/netns-run" /usr/bin/python3 "$root/bench/transfer_bench.py" \
    | tee -a "$rows" >&2
wants scale && "$root/tools/netns-run" /usr/bin/python3 "$root/bench/scale_bench.py" \
    | tee -a "$rows" >&2
wants channel && "$root/tools/netns-run" "$bin/page_channel_bench" | tee -a "$rows" >&2

echo
printf '%-58s %12s %12s %8s %9s   %s\n' "benchmark" "velmora" "reference" "ratio" "target" \
    "reference"
awk -F'\t' '$1 == "ROW" {
    ratio = ($4 + 0 != 0) ? sprintf("%7.0f%%", 100 * $3 / $4) : "      -"
    printf "%-58s %12s %12s %8s %9s   %s\n", $2, $3, $4, ratio, $5, $6
}' "$rows"
echo "machine: $(nproc) cores, $(free -h | awk '/^Mem:/ {print $2}') memory, load $(cut -d' ' -f1-3 /proc/loadavg); medians of $RUNS runs"
