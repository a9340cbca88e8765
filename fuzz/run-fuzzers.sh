#!/usr/bin/env bash
# Builds the libFuzzer targets with clang-14 in their own build folder and runs each for a
# short, fixed time on a small seed corpus. Exits non-zero if a build fails or a fuzzer finds
# a crash, a sanitizer error or a broken check.
#
#   fuzz/run-fuzzers.sh [SECONDS_PER_FUZZER]   (default 20)
#   BUILD_DIR=... overrides the build folder (default: <source>/build-fuzz)
set -euo pipefail

seconds="${1:-20}"
src="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${BUILD_DIR:-$src/build-fuzz}"
cxx="${CXX_FUZZ:-clang++-14}"

command -v "$cxx" >/dev/null || { echo "run-fuzzers: $cxx not found" >&2; exit 2; }

mkdir -p "$build"
generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
cmake -S "$src" -B "$build" "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_COMPILER="$cxx" -DNORVA_FUZZ=ON -DNORVA_WITH_QT=OFF -DNORVA_WERROR=ON \
    >"$build/configure.log" 2>&1 ||
    { cat "$build/configure.log" >&2; exit 1; }
cmake --build "$build" --target fuzz_hello fuzz_command_packet fuzz_address_filter \
    fuzz_address_group -j2

rm -rf "$build/artifacts"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

# Seeds: a few real messages of each kind. printf's octal escapes keep zero bytes.
seed() { # seed DIR NAME PRINTF-FORMAT
    mkdir -p "$work/$1"
    printf "$3" >"$work/$1/$2"
}
pad() { # pad N: N zero bytes as printf escapes
    local i out=""
    for ((i = 0; i < $1; i++)); do out+='\000'; done
    printf '%s' "$out"
}
for kind in hello packet; do
    seed "$kind" hello 'hello-000'
    seed "$kind" hello-zero 'hello-000\000junk'
    seed "$kind" capital-h 'Hello-000'
    seed "$kind" empty ''
    # type 7, user "admin", password "secret", command 1, three unused bytes
    seed "$kind" restart "\007admin$(pad 16)secret$(pad 15)\001\000\000\000"
    seed "$kind" shutdown "\007ADMIN$(pad 16)Secret$(pad 15)\002\000\000\000"
    seed "$kind" full-fields "\007abcdefghijklmnopqrstuABCDEFGHIJKLMNOPQRSTU\001xyz"
    seed "$kind" short "\007adm"
done
seed acceptfrom one '198.18.0.2'
seed acceptfrom list '198.18.0.2, 10.0.0.0/8 fd00::/8,::ffff:192.0.2.1'
seed acceptfrom bad '10.0.0.0/33 fe80::/129 host.example [::1] 1.2.3.4/'
seed acceptfrom all '0.0.0.0/0 ::/0'
seed peer loopback '127.3.2.1'
seed peer ipv4 '198.18.0.2'
seed peer mapped '::ffff:198.18.0.2'
seed peer ipv6 '2001:db8:1:2::5'
seed peer scoped 'fe80::1%%veth1'
seed peer junk '127.0.0.256'

status=0
run() { # run FUZZER CORPUS
    local artifacts="$build/artifacts/$1/"
    mkdir -p "$artifacts"
    echo "run-fuzzers: $1 for ${seconds}s"
    if ! "$build/fuzz/$1" -max_total_time="$seconds" -max_len=2048 -timeout=10 \
        -artifact_prefix="$artifacts" -print_final_stats=1 "$work/$2" >"$work/$1.log" 2>&1; then
        echo "run-fuzzers: $1 FAILED" >&2
        tail -n 60 "$work/$1.log" >&2
        ls -l "$artifacts" >&2 || true
        status=1
    else
        grep -E '^stat::number_of_executed_units' "$work/$1.log" || true
    fi
}
run fuzz_hello hello
run fuzz_command_packet packet
run fuzz_address_filter acceptfrom
run fuzz_address_group peer

[[ $status -eq 0 ]] && echo "run-fuzzers: no crash found"
exit $status
