#!/usr/bin/env bash
# Installs everything the benchmarks need into benchmarks/.venv, then runs them.
#
#   bash benchmarks/run.sh [--quick] [--positions N] [--repeats R] [--libs a,b] [--out NAME]
#                           [--segment-only]   (whole-text segmentation alone, into the existing report)
#   bash benchmarks/run.sh --frequency [--megabytes N] [--rounds R] [--save]
#                           (segmentation by word frequency against jieba and rjieba: velbench/frequency.py)
#   bash benchmarks/run.sh --cli [--megabytes N] [--rounds R]
#                           (the segmentation tool's whole job beside jieba's tool: velbench/cli_job.py)
#   bash benchmarks/run.sh --parallel memory|jobs|threads [--mb N] [--rounds R]
#                           (worker memory, the tool's --jobs 2 against --jobs 1, two threads
#                           scanning against one: velbench/parallel.py)
#   bash benchmarks/run.sh --lexicon [--rounds R] [--keys N] [--chars N] [--save]
#                           (the Lexicon's questions against the peers': velbench/lexicon.py)
#   bash benchmarks/run.sh --convert [--megabytes N] [--rounds R] [--save]
#                           (dictionary conversion beside OpenCC and opencc-pyo3, replacement beside
#                            flashtext2: velbench/convert.py)
#   bash benchmarks/run.sh --deep [--words N,N] [--rounds R]
#                           (deep DNA words against the automata, and against random words: velbench/deep.py)
#   bash benchmarks/run.sh --memory [--lists a,b] [--libs a,b] [--timeout S]
#                           (resident memory of each library's finished object: velbench/memory.py)
#   bash benchmarks/run.sh --tokenize [--megabytes N] [--rounds R] [--save]
#                           (WordPiece against tokenizers, and its linear time: velbench/tokenize.py)
#   (or ./dev bench ...)
#
# What it installs: the project itself (built with scikit-build-core into
# build/bench), the peer trie libraries from PyPI one by one (one that does not
# install is reported, and the report marks it "not installed"), matplotlib,
# a tiny C extension for the call floor, and the data: Debian's wamerican,
# wngerman, hunspell-th, fortunes, fortunes-zh and manpages-zh packages and
# jieba's dictionary from PyPI.
set -euo pipefail
bench=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(dirname "$bench")
venv=$bench/.venv
log=$venv/install.log

is_313() { "$1" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 13))' >/dev/null 2>&1; }

# A working Python 3.13: python3.13 on PATH, else pyenv's (as ./dev finds it).
find_python() {
    local candidate root
    if command -v python3.13 >/dev/null 2>&1 && is_313 python3.13; then
        command -v python3.13; return 0
    fi
    if command -v pyenv >/dev/null 2>&1; then
        candidate=$(pyenv which python3.13 2>/dev/null || true)
        if [ -n "$candidate" ] && is_313 "$candidate"; then echo "$candidate"; return 0; fi
        root=$(pyenv root)
    else
        root=${PYENV_ROOT:-$HOME/.pyenv}
    fi
    for candidate in "$root"/versions/3.13*/bin/python3.13; do
        if [ -x "$candidate" ] && is_313 "$candidate"; then echo "$candidate"; return 0; fi
    done
    echo "bench: no Python 3.13 found (looked for python3.13 on PATH and in pyenv)" >&2
    return 1
}

step() { echo "bench: $*" >&2; }

python=$(find_python)
if [ ! -x "$venv/bin/python" ] || ! is_313 "$venv/bin/python"; then
    rm -rf "$venv"
    "$python" -m venv "$venv"
fi
py=$venv/bin/python
: >"$log"
step "installing pip, matplotlib (log: $log)"
"$py" -m pip install --quiet --upgrade pip >>"$log" 2>&1
"$py" -m pip install --quiet -r "$bench/requirements-tools.txt" >>"$log" 2>&1

step "installing the peers"
while read -r peer; do
    case "$peer" in ''|'#'*) continue ;; esac
    if ! "$py" -m pip install --quiet "$peer" >>"$log" 2>&1; then
        echo "bench: peer $peer did NOT install (see $log); it is reported as not installed" >&2
    fi
done <"$bench/requirements-peers.txt"

step "building the no-op call floor"
"$py" - "$bench/floor/velbench_floor.c" <<'PY'
import subprocess, sys, sysconfig
src = sys.argv[1]
out = "%s/velbench_floor%s" % (sysconfig.get_paths()["platlib"], sysconfig.get_config_var("EXT_SUFFIX"))
subprocess.run(["cc", "-O2", "-shared", "-fPIC", "-I", sysconfig.get_paths()["include"],
                src, "-o", out], check=True)
PY

step "building and installing ondrel_velarin"
(cd "$root" && "$py" -m pip install --quiet --config-settings=build-dir=build/bench "$root") >>"$log" 2>&1 || {
    tail -30 "$log" >&2
    echo "bench: ondrel_velarin did not build or install (full log: $log)" >&2
    exit 1
}

debs="wamerican wngerman hunspell-th fortunes fortunes-zh manpages-zh"
if [ ! -s /usr/share/dict/american-english ] || [ ! -s /usr/share/dict/ngerman ] \
        || [ ! -s /usr/share/hunspell/th_TH.dic ] || [ ! -e /usr/share/games/fortunes/fortunes ] \
        || [ ! -e /usr/share/games/fortunes/tang300 ] || [ ! -d /usr/share/man/zh_CN ]; then
    step "installing Debian's $debs"
    if [ "$(id -u)" -eq 0 ]; then sudo=""; else sudo="sudo"; fi
    $sudo apt-get update -qq >>"$log" 2>&1
    # shellcheck disable=SC2086
    $sudo apt-get install -y -qq $debs >>"$log" 2>&1
fi
# Data prepared by an older harness lacks the later lists and texts: prepare again.
if ! grep -q '"zh_man_text"' "$bench/data/provenance.json" 2>/dev/null; then
    step "fetching jieba's dictionary and preparing the data"
    mkdir -p "$bench/data/pkgs"
    "$py" -m pip download --quiet --no-deps --no-binary :all: -d "$bench/data/pkgs" jieba==0.42.1 >>"$log" 2>&1
    (cd "$bench" && "$py" -c 'import sys, velbench.data as d; d.prepare(sys.argv[1])' "$bench/data/pkgs")
fi

step "running"
cd "$bench"
if [ "${1:-}" = "--frequency" ]; then
    shift
    "$py" -m pip install --quiet jieba==0.42.1 rjieba >>"$log" 2>&1
    exec "$py" -m velbench.frequency "$@"
fi
if [ "${1:-}" = "--cli" ]; then
    shift
    "$py" -m pip install --quiet jieba==0.42.1 >>"$log" 2>&1
    exec "$py" -m velbench.cli_job "$@"
fi
if [ "${1:-}" = "--lexicon" ]; then
    shift
    exec "$py" -m velbench.lexicon "$@"
fi
if [ "${1:-}" = "--convert" ]; then
    shift
    step "installing OpenCC, its data, opencc-pyo3 and flashtext2"
    "$py" -m pip install --quiet -r "$bench/requirements-convert.txt" >>"$log" 2>&1
    exec "$py" -m velbench.convert "$@"
fi
if [ "${1:-}" = "--tokenize" ]; then
    shift
    "$py" -m pip install --quiet tokenizers >>"$log" 2>&1
    exec "$py" -m velbench.tokenize "$@"
fi
if [ "${1:-}" = "--deep" ]; then
    shift
    exec "$py" -m velbench.deep "$@"
fi
if [ "${1:-}" = "--memory" ]; then
    shift
    exec "$py" -m velbench.memory "$@"
fi
if [ "${1:-}" = "--parallel" ]; then
    shift
    exec "$py" -m velbench.parallel "$@"
fi
exec "$py" -m velbench "$@"
