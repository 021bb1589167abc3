#!/usr/bin/env bash
# Runs every benchmark and prints one table: each figure of the client beside its reference,
# measured side by side in the same run, as the median of RUNS runs (default 3).
# Data goes to $VELMORA_BENCH_DIR (default /tmp/velmora-bench) and is kept for the next run.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
runs="${RUNS:-3}"
data="${VELMORA_BENCH_DIR:-/tmp/velmora-bench}"
mkdir -p "$data"

cmake --preset release >/dev/null
cmake --build "$root/build/release" -j"$(nproc)" --target digest_bench search_bench create_bench >/dev/null
bin="$root/build/release/bench"

big="$data/random-2GiB.bin"
catalogue="$data/catalogue-1GiB.csv"
[ -s "$big" ] || head -c 2147483648 /dev/urandom > "$big"
[ -s "$catalogue" ] || /usr/bin/python3 "$root/bench/make_catalogue.py" "$catalogue" 1024
cat "$big" "$catalogue" > /dev/null  # both in the page cache, for every contender alike

seconds() {  # the wall seconds of a command, its output discarded
    local start end
    start=$(date +%s.%N)
    "$@" > "$data/last-output" 2>&1
    end=$(date +%s.%N)
    echo "$end - $start" | bc -l
}
median() { printf '%s\n' "$@" | sort -g | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }

declare -A ours refs
for _ in $(seq "$runs"); do
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

big_mib=2048
catalogue_mib=$(( $(stat -c %s "$catalogue") / 1048576 ))
printf '%-34s %14s %14s %8s %8s\n' "benchmark" "velmora MB/s" "reference MB/s" "ratio" "target"
row() {  # name, MiB, our times, reference times, reference name, target
    local o r
    o=$(median $3)
    r=$(median $4)
    printf '%-34s %14.0f %14.0f %7.0f%% %8s   (%s)\n' "$1" "$(echo "$2 / $o" | bc -l)" \
        "$(echo "$2 / $r" | bc -l)" "$(echo "100 * $r / $o" | bc -l)" "$6" "$5"
}
row "SHA-1 of a 2 GiB file" "$big_mib" "${ours[sha1]}" "${refs[sha1]}" "openssl dgst -sha1" ">= 90%"
row "MD5 of a 2 GiB file" "$big_mib" "${ours[md5]}" "${refs[md5]}" "openssl dgst -md5" ">= 90%"
row "creation, v1, 4 MiB pieces" "$big_mib" "${ours[create_v1]}" "${refs[create]}" \
    "mktorrent -l 22" ">= 90%"
row "creation, hybrid, 4 MiB pieces" "$big_mib" "${ours[create_hybrid]}" "${refs[create]}" \
    "mktorrent -l 22 (v1 only)" ">= 90%"
row "plain search, 1 GiB catalogue" "$catalogue_mib" "${ours[plain]}" "${refs[plain]}" \
    "LC_ALL=C grep -F -c" ">= 70%"
row "adaptive search, 1 GiB catalogue" "$catalogue_mib" "${ours[adaptive]}" \
    "${refs[adaptive]}" "LC_ALL=C grep -E -c" "-"
echo "machine: $(nproc) cores, $(free -h | awk '/^Mem:/ {print $2}') memory; medians of $runs runs"
