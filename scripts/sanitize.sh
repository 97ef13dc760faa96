#!/usr/bin/env bash
# Builds the module and the C++ unit tests with a sanitizer and runs them.
#   bash scripts/sanitize.sh address [pytest args]   ASan + UBSan: unit tests and the Python suite
#   bash scripts/sanitize.sh thread  [pytest args]   TSan: unit tests (worker pool stress included)
#                                                     and the exploration and stress tests
# Run scripts/test.sh once first: it installs the test requirements.
set -euo pipefail
kind=${1:?usage: sanitize.sh address|thread [pytest args]}
shift
cd "$(dirname "$0")/.."
python=${PYTHON:-python3}
dir=build/sanitize-$kind

cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUARNEL_SANITIZE="$kind" \
      -DQUARNEL_BUILD_UNIT_TESTS=ON -DPython_EXECUTABLE="$(command -v "$python")" >/dev/null
cmake --build "$dir" -j "${JOBS:-2}"

case "$kind" in
  address)
    # libstdc++ goes in too: exceptions thrown across the preloaded runtime need it loaded first.
    runtime="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so)"
    # The interpreter itself is not built for leak checking, so leaks are not reported.
    export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:strict_init_order=1:allocator_may_return_null=1:suppressions=$PWD/scripts/asan.supp
    export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
    default_tests=(tests)
    ;;
  thread)
    runtime="$(g++ -print-file-name=libtsan.so) $(g++ -print-file-name=libstdc++.so)"
    export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
    # Forked children start threads of their own, which the runtime does not support; and it
    # defers signals until the next intercepted call, so Ctrl-C is tested by the unit tests only.
    default_tests=(tests/test_explorations.py tests/test_stress.py -k "not fork and not child")
    ;;
  *) echo "unknown sanitizer: $kind" >&2; exit 2 ;;
esac

"$dir/quarnel_unit_tests" --gtest_brief=1
[ $# -gt 0 ] || set -- "${default_tests[@]}"
LD_PRELOAD="$runtime" PYTHONPATH="$PWD/$dir" "$python" -m pytest -q -p no:cacheprovider "$@"
