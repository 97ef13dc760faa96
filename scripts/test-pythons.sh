#!/usr/bin/env bash
# Every supported Python besides the one scripts/test.sh ran the whole suite with: a fresh venv,
# `pip install '.[test]'` and the quick part of the suite (pytest -m quick). Then the oldest
# versions of the dependencies and optional extras pyproject.toml declares, on the oldest
# supported Python, with the whole Python suite. An interpreter that is not on this machine is
# reported and skipped.
#   PYTHON     the interpreter scripts/test.sh used (default python3): not run again here
#   PYTHONS    the minor versions to look for (default: 3.10 3.11 3.12 3.13)
#   OLDEST     set to 0 to leave out the oldest-dependencies run
set -uo pipefail
cd "$(dirname "$0")/.."

read -r -a minors <<<"${PYTHONS:-3.10 3.11 3.12 3.13}"
already=$("${PYTHON:-python3}" -c 'import sys; print("%d.%d" % sys.version_info[:2])' 2>/dev/null || true)
work=build/pythons
summary=()
failed=0

# The newest interpreter of version $1 on this machine (pyenv's first, then the PATH's); the
# pattern leaves out free-threaded builds ("3.13.0t"), which have a check of their own below.
find_python() {
  local minor=$1 found="" candidate
  if command -v pyenv >/dev/null; then
    for candidate in $(ls -d "$(pyenv root)/versions/$minor".* 2>/dev/null | sort -V); do
      [[ $candidate =~ /$minor\.[0-9]+$ && -x $candidate/bin/python$minor ]] && found=$candidate/bin/python$minor
    done
  fi
  if [ -z "$found" ]; then
    for candidate in /usr/local/bin/python$minor /usr/bin/python$minor; do
      [ -x "$candidate" ] && { found=$candidate; break; }
    done
  fi
  [ -n "$found" ] && "$found" -c 'import venv, ensurepip' 2>/dev/null && echo "$found"
}

# Runs "$@" under a label, times it, and notes the result for the summary.
step() {
  local label=$1 started=$SECONDS
  shift
  echo "== $label"
  if "$@"; then
    summary+=("passed   $label ($((SECONDS - started)) s)")
  else
    summary+=("FAILED   $label ($((SECONDS - started)) s)")
    failed=1
  fi
}

# A fresh venv at $2 from interpreter $1, the package installed with pip (further pip arguments
# in the rest), then pytest with the arguments after "--".
venv_run() {
  local python=$1 venv=$2
  shift 2
  local pip_args=()
  while [ $# -gt 0 ] && [ "$1" != "--" ]; do pip_args+=("$1"); shift; done
  shift
  rm -rf "$venv"
  "$python" -m venv "$venv" &&
    "$venv/bin/python" -m pip install -q --disable-pip-version-check "${pip_args[@]}" '.[test]' &&
    "$venv/bin/python" -m pip check &&
    PATH="$PWD/$venv/bin:$PATH" "$venv/bin/python" -m pytest -q -p no:cacheprovider "$@"
}

venv_run_free_threaded() {
  local venv=$work/venv-free-threaded
  rm -rf "$venv"
  "$free_threaded" -m venv "$venv" &&
    "$venv/bin/python" -m pip install -q --disable-pip-version-check . &&
    "$venv/bin/python" -c '
import sys, warnings
with warnings.catch_warnings(record=True) as caught:
    warnings.simplefilter("always")
    import quarnel, numpy
print(*(warning.message for warning in caught), sep="\n")
assert sys._is_gil_enabled(), "the module runs without the interpreter lock"
state = quarnel.GameState(numpy.array([0.9, 0.1]), numpy.array([0.2, 0.8]), numpy.array([[1.0, -1.0], [-1.0, 1.0]]))
quarnel.Experiment(state, quarnel.Optimizer.ogda(0.1, 2), 100).run_experiment_until_convergence_in_place()
print("imported and ran with the interpreter lock on")'
}

# The lower bound of every dependency and of the optional extras' (test tools and benchmarks
# aside) as pins for pip.
oldest_pins() {
  "$1" - <<'EOF'
import re
text = open("pyproject.toml").read()
extras = re.search(r"^\[project\.optional-dependencies\]\n(.*?)^\[", text, re.M | re.S).group(1)
declared = re.search(r"^dependencies = \[(.*?)\]\s*$", text, re.M | re.S).group(1) + "".join(
    group for name, group in re.findall(r"^(\w+) = \[(.*?)\]\s*$", extras, re.M | re.S) if name not in ("test", "bench"))
for name, version in re.findall(r'"([A-Za-z0-9_.\-]+)(?:\[[^\]]*\])?>=([0-9.]+)"', declared):
    print(f"{name}=={version}")
EOF
}

for minor in "${minors[@]}"; do
  if [ "$minor" = "$already" ]; then
    echo "== Python $minor: the whole suite ran on it already"
    continue
  fi
  python=$(find_python "$minor")
  if [ -z "$python" ]; then
    summary+=("skipped  Python $minor: no interpreter found (pyenv or python$minor with venv)")
    continue
  fi
  step "Python $minor ($python): pip install '.[test]', pytest -m quick" \
    venv_run "$python" "$work/venv-$minor" -- -m quick
done

oldest=$(for minor in "${minors[@]}"; do find_python "$minor" && break; done)
if [ "${OLDEST:-1}" = 0 ]; then
  :
elif [ -z "$oldest" ]; then
  summary+=("skipped  oldest dependencies: none of Python ${minors[*]} found")
else
  mkdir -p "$work"
  oldest_pins "$oldest" >"$work/oldest.txt"
  step "oldest dependencies ($(paste -sd ' ' "$work/oldest.txt")) on $oldest: the whole suite" \
    venv_run "$oldest" "$work/venv-oldest" -c "$work/oldest.txt" --
fi

# A free-threaded build must import the module without crashing; the module asks for the
# interpreter lock there, which the interpreter turns back on.
free_threaded=$(ls -d "$(pyenv root 2>/dev/null)"/versions/3.1[3-9]*t/bin/python3*t 2>/dev/null | sort -V | tail -1)
[ -n "$free_threaded" ] || free_threaded=$(command -v python3.13t || true)
if [ -z "$free_threaded" ]; then
  summary+=("skipped  free-threaded Python: no python3.13t found")
else
  step "free-threaded $free_threaded: pip install ., import quarnel runs with the lock" venv_run_free_threaded
fi

echo
echo "== Interpreters and dependency versions ($SECONDS s in all)"
printf '%s\n' "${summary[@]}"
exit "$failed"
