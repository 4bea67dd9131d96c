#!/usr/bin/env bash
# Builds the libFuzzer harnesses and runs each target for a bounded time.
#
#   fuzz/run.sh SECONDS [TARGET...]      (no target: all of them)
#
# Each target starts from fuzz/corpus/<target> plus seeds from samples/ and,
# when present, ../shared/conformance/bmpsuite and pngsuite; what it finds collects in
# $FUZZ_BUILD/work/<target>, crashes in $FUZZ_BUILD/artifacts/<target>.
# Environment:
#   FUZZ_BUILD   build folder (default build-fuzz)
#   FUZZ_RUNS    also stop a target after this many executions
#   FUZZ_MERGE=1 fold the new inputs into fuzz/corpus/<target>, minimised
# Prints the executions per target. Exits 1 on any finding (crash, UB, leak,
# timeout, out-of-memory), 2 when the harnesses cannot be built.
set -uo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
all=(bmp jpeg png tiff gif heif webp ipr_rgb statements scene_script scene_write polygon spots)

if [ $# -lt 1 ] || ! [[ $1 =~ ^[0-9]+$ ]]; then
    echo "usage: $0 SECONDS [TARGET...]   targets: ${all[*]}" >&2
    exit 2
fi
secs=$1
shift
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=("${all[@]}")
for t in "${targets[@]}"; do
    [[ " ${all[*]} " == *" $t "* ]] || { echo "unknown target: $t (targets: ${all[*]})" >&2; exit 2; }
done

build=${FUZZ_BUILD:-$root/build-fuzz}
bmpsuite=$root/../shared/conformance/bmpsuite
pngsuite=$root/../shared/conformance/pngsuite/png
# The limits the large decoders run under.
limits=(-max_len=1048576 -timeout=25 -rss_limit_mb=2048)

cmake -S "$here" -B "$build" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null || exit 2
cmake --build "$build" -j "${FUZZ_JOBS:-$(nproc)}" --target $(printf 'fuzz_%s ' "${targets[@]}") >/dev/null || {
    echo "fuzz: building the harnesses failed" >&2
    exit 2
}

# .ipr and .rgb of a sample pair in the ipr_rgb input layout: flags, the
# .ipr length (16 bits, little-endian), the .ipr text, the .rgb bytes.
pair_input() {
    local flags=$1 ipr=$2 rgb=$3 len
    len=$(stat -c %s "$ipr")
    printf "\\x$(printf %02x "$flags")\\x$(printf %02x $((len & 255)))\\x$(printf %02x $((len >> 8 & 255)))"
    cat "$ipr"
    [ -f "$rgb" ] && cat "$rgb"
}

# Fresh seeds for a target, outside the committed corpus.
make_seeds() {
    local t=$1 d=$build/seeds/$1 f
    rm -rf "$d"
    mkdir -p "$d"
    case $t in
        bmp)
            cp "$root"/samples/*.bmp "$d"/ 2>/dev/null
            if [ -d "$bmpsuite" ]; then
                for f in "$bmpsuite"/*/*.bmp; do
                    [ -f "$f" ] && cp "$f" "$d/$(basename "$(dirname "$f")")-$(basename "$f")"
                done
            fi
            ;;
        jpeg)
            cp "$root"/samples/*.jpg "$d"/ 2>/dev/null
            ;;
        png)
            [ -d "$pngsuite" ] && cp "$pngsuite"/*.png "$d"/ 2>/dev/null
            ;;
        scene_script | scene_write)
            cp "$root"/samples/scenes/*.scene "$d"/ 2>/dev/null
            ;;
        ipr_rgb)
            for f in "$root"/samples/*.ipr; do
                [ -f "$f" ] || continue
                pair_input 0 "$f" "${f%.*}.rgb" >"$d/$(basename "${f%.*}")"
                pair_input 0x37 "$f" "${f%.*}.rgb" >"$d/$(basename "${f%.*}")-upper"
            done
            ;;
    esac
    echo "$d"
}

# Executions from libFuzzer's final stats, else from its last status line.
executions() {
    local n
    n=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$1" | tail -1 | grep -o '[0-9]*$')
    [ -n "$n" ] || n=$(grep -o '^#[0-9]*' "$1" | tail -1 | tr -d '#')
    echo "${n:-0}"
}

# Leaks inside system libraries that the harnesses cannot free.
export LSAN_OPTIONS=suppressions=$here/lsan.supp:print_suppressions=0${LSAN_OPTIONS:+:$LSAN_OPTIONS}

# The ipr_rgb harness writes its pair files under TMPDIR.
export TMPDIR=$build/tmp
mkdir -p "$TMPDIR"

failed=()
for t in "${targets[@]}"; do
    bin=$build/fuzz_$t
    work=$build/work/$t
    art=$build/artifacts/$t
    log=$build/logs/$t.log
    mkdir -p "$work" "$art" "$build/logs" "$here/corpus/$t"
    seeds=$(make_seeds "$t")
    extra=()
    case $t in statements | scene_script | scene_write) extra+=(-dict="$here/scene.dict") ;; esac
    [ -n "${FUZZ_RUNS:-}" ] && extra+=(-runs="$FUZZ_RUNS")

    echo "fuzz: $t for up to ${secs}s (log: $log)"
    start=$(date +%s)
    "$bin" "${limits[@]}" -max_total_time="$secs" -print_final_stats=1 -artifact_prefix="$art/" \
        "${extra[@]}" "$work" "$here/corpus/$t" "$seeds" >"$log" 2>&1
    rc=$?
    elapsed=$(($(date +%s) - start))
    execs=$(executions "$log")

    if [ $rc -ne 0 ]; then
        failed+=("$t")
        printf 'fuzz: %-13s %12s executions in %4ss  FINDING (exit %s)\n' "$t" "$execs" "$elapsed" "$rc"
        grep -E 'ERROR:|runtime error|SUMMARY:|Test unit written' "$log" | head -n 8 | sed 's/^/    /'
        continue
    fi
    printf 'fuzz: %-13s %12s executions in %4ss  no findings\n' "$t" "$execs" "$elapsed"

    if [ "${FUZZ_MERGE:-0}" = 1 ]; then
        merged=$(mktemp -d "$build/merge-$t.XXXXXX")
        if "$bin" "${limits[@]}" -merge=1 "$merged" "$here/corpus/$t" "$work" >>"$log" 2>&1; then
            rm -rf "$here/corpus/$t"
            mv "$merged" "$here/corpus/$t"
            chmod 755 "$here/corpus/$t"
            echo "fuzz: $t corpus minimised: $(ls "$here/corpus/$t" | wc -l) files, $(du -sb "$here/corpus/$t" | cut -f1) bytes"
        else
            rm -rf "$merged"
            echo "fuzz: $t corpus merge failed, corpus left as it was (see $log)" >&2
        fi
    fi
done

rm -rf "$TMPDIR"

if [ ${#failed[@]} -gt 0 ]; then
    echo "fuzz: findings in: ${failed[*]} (inputs under $build/artifacts/)" >&2
    exit 1
fi
echo "fuzz: ${#targets[@]} target(s), no findings"
