#!/usr/bin/env bash
# Run the whole test suite under other Python interpreters, each in a fresh
# virtual environment with the package and every extra that installs there.
#
#   tools/other_pythons.sh [--keep] VERSION_OR_PATH... [-- pytest arguments...]
#
#   tools/other_pythons.sh 3.12 3.13            # pyenv's 3.12.x and 3.13.x
#   tools/other_pythons.sh /usr/bin/python3.12 -- -x -q tests/unit
#
# A version is looked up with pyenv (`pyenv prefix 3.12`, also when pyenv
# is not on PATH but in ${PYENV_ROOT:-~/.pyenv}), else as
# python3.12 on PATH; an argument with a slash is the interpreter itself.
# Per interpreter: a venv under ${TMPDIR:-/tmp} (removed afterwards unless
# --keep), the wheel built once from this tree, then the package with all
# its extras in one pip call.  When that call fails, each extra is tried on
# its own, and the test extra's own requirements one by one: what does not
# install is skipped with one line giving pip's error, and the tests that need
# it skip themselves (pytest.importorskip).  The suite then runs from the
# tree's root with PYTHONPATH unset and the venv first on PATH, so tests and
# the programs they start use the installed copy.
#
# Exit status: 0 when every suite passed, else the first failing status
# (2 for a usage error or an interpreter that is missing or cannot build).
set -uo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
tag="other_pythons"

keep=0
versions=()
pytest_args=()
while [ $# -gt 0 ]; do
    case "$1" in
        --keep) keep=1 ;;
        --) shift; pytest_args=("$@"); break ;;
        -h|--help) awk 'NR > 1 && !/^#/ { exit } NR > 1 { sub(/^# ?/, ""); print }' "$0"; exit 0 ;;
        -*) echo "$tag: unknown option $1 (see --help)" >&2; exit 2 ;;
        *) versions+=("$1") ;;
    esac
    shift
done
[ ${#versions[@]} -gt 0 ] || { echo "$tag: name at least one interpreter, e.g. 3.12 (see --help)" >&2; exit 2; }

interpreter_for() {
    local want="$1" prefix
    case "$want" in
        */*) [ -x "$want" ] && { echo "$want"; return 0; }; return 1 ;;
    esac
    local pyenv; pyenv="$(command -v pyenv || echo "${PYENV_ROOT:-$HOME/.pyenv}/bin/pyenv")"
    if [ -x "$pyenv" ] && prefix="$("$pyenv" prefix "$want" 2>/dev/null)" && [ -x "$prefix/bin/python3" ]; then
        echo "$prefix/bin/python3"
        return 0
    fi
    # A pyenv shim exists for every installed version but runs only the
    # selected one, so the candidate must really start.
    command -v "python$want" >/dev/null 2>&1 && "python$want" -c '' 2>/dev/null \
        && { command -v "python$want"; return 0; }
    return 1
}

# Extra names, and the test extra's requirements other than this package's
# own extras, read from pyproject.toml by the interpreter under test.
read_project() {
    "$1" - "$root/pyproject.toml" <<'EOF'
import sys, tomllib
project = tomllib.load(open(sys.argv[1], "rb"))["project"]
name, extras = project["name"], project.get("optional-dependencies", {})
print(" ".join(e for e in extras if e != "test"))
print("\t".join(r for r in extras.get("test", []) if not r.replace(" ", "").startswith(name + "[")))
EOF
}

# pip's first error line from a log (the log itself goes with the venv).
why() {
    local line
    line="$(grep -m1 '^ERROR' "$1" || tail -n 1 "$1")"
    printf '%s' "${line:0:300}"
}

# One interpreter: venv, wheel, extras, suite.  Prints its own figures.
run_one() {
    local want="$1" python work venv version wheel log status=0 skipped=() start built installed
    python="$(interpreter_for "$want")" || {
        echo "$tag: no Python $want here (pyenv versions; or pass the interpreter's path)" >&2
        return 2
    }
    work="$(mktemp -d "${TMPDIR:-/tmp}/zq4180-py${want##*/}-XXXXXX")"
    venv="$work/venv"
    start=$(date +%s)
    "$python" -m venv "$venv" || { echo "$tag: $python cannot make a venv" >&2; return 2; }
    version="$("$venv/bin/python" -c 'import platform; print(platform.python_version())')"
    echo "$tag: Python $version ($python), venv $venv"

    # The extension is built once; every install below takes this wheel.
    log="$work/build.log"
    if ! "$venv/bin/python" -m pip wheel --no-deps --wheel-dir "$work/wheel" "$root" >"$log" 2>&1; then
        tail -n 30 "$log" >&2
        echo "$tag: Python $version: the package does not build (log: $log)" >&2
        return 2
    fi
    wheel="$(ls "$work"/wheel/zq4180-*.whl)"
    built=$(date +%s)

    local extras test_requirements
    { read -r extras; IFS= read -r test_requirements; } < <(read_project "$venv/bin/python")
    log="$work/install.log"
    if "$venv/bin/python" -m pip install "$wheel[${extras// /,},test]" >"$log" 2>&1; then
        echo "$tag: Python $version: installed with every extra ($extras, test)"
    else
        echo "$tag: Python $version: not every extra installs together; trying each"
        "$venv/bin/python" -m pip install "$wheel" >"$work/install-package.log" 2>&1 || {
            echo "$tag: Python $version: the package itself does not install (log: $work/install-package.log)" >&2
            return 2
        }
        local extra requirement
        for extra in $extras; do
            log="$work/install-$extra.log"
            "$venv/bin/python" -m pip install "$wheel[$extra]" >"$log" 2>&1 \
                || { skipped+=("$extra"); echo "$tag: Python $version: extra '$extra' does not install; tests that need it skip ($(why "$log"))"; }
        done
        local requirements=()
        IFS=$'\t' read -r -a requirements <<<"$test_requirements"
        for requirement in "${requirements[@]}"; do
            log="$work/install-test-$(printf '%s' "$requirement" | tr -c 'A-Za-z0-9.' _).log"
            "$venv/bin/python" -m pip install "$requirement" >"$log" 2>&1 \
                || { skipped+=("$requirement"); echo "$tag: Python $version: test requirement '$requirement' does not install; tests that need it skip ($(why "$log"))"; }
        done
    fi
    installed=$(date +%s)

    (
        cd "$root" || exit 2
        unset PYTHONPATH PYTHONHOME
        export VIRTUAL_ENV="$venv" PATH="$venv/bin:$PATH"
        python -c 'import sys, zq4180; print("'"$tag"': testing zq4180 from", zq4180.__file__)' || exit 2
        python -m pytest "${pytest_args[@]}"
    )
    status=$?
    local now; now=$(date +%s)
    echo "$tag: Python $version: pytest exit status $status; build $(( built - start )) s," \
        "install $(( installed - built )) s, suite $(( now - installed )) s," \
        "total $(awk -v s=$(( now - start )) 'BEGIN { printf "%.1f", s / 60 }') min${skipped[*]:+; skipped: ${skipped[*]}}"
    if [ "$keep" -eq 1 ]; then
        echo "$tag: kept $work"
    else
        rm -rf "$work"
    fi
    return "$status"
}

result=0
for want in "${versions[@]}"; do
    run_one "$want"
    status=$?
    [ "$status" -eq 0 ] || [ "$result" -ne 0 ] || result=$status
done
exit "$result"
