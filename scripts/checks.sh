# Sourced by the scripts that prove the bindings and the packages: one line per check,
# "passed:", "FAILED:" or "SKIPPED:" with the reason, the counts for their closing line, and the
# lines a test program prints turned into checks.

passed=0 failed=0 skipped=0
pass() { echo "passed:  $*"; passed=$((passed + 1)); }
fail() { echo "FAILED:  $*"; failed=$((failed + 1)); }
skip() { echo "SKIPPED: $*"; skipped=$((skipped + 1)); }
# The last lines of a log, indented, after a failure.
show() { tail -n "${2:-15}" "$1" | sed 's/^/         | /'; }

# "test_2_opens_it (module.Class.test_2_opens_it) ... ok" -> "opens it", and for a subtest
# "  test_x (module.Class.test_x) (port='1') ... FAIL" -> "x (port='1')".
words() {
    local line=${1#"${1%%[! ]*}"} name params
    name=${line%% *}
    name=${name#test_}
    name=${name#[0-9]_}
    params=$(sed -n 's/^[^ ]* ([^)]*) \((.*)\) \.\.\. [A-Z]*$/ \1/p' <<<"$line")
    echo "${name//_/ }$params"
}

# cases PREFIX LOG RC: one line per case a test program reported ("ok NAME" / "FAIL NAME: why",
# or unittest's "test_x (...) ... ok"), then whether the program itself ended well. A program
# that died mid-way (umockdev-run's SIGTRAP on a byte the device did not expect: 133; a timeout:
# 124) fails even if every case it got to passed.
cases() {
    local prefix=$1 log=$2 rc=$3 line count=0 bad=0
    while IFS= read -r line; do
        case $line in
            "ok "*) pass "$prefix: ${line#ok }"; count=$((count + 1)) ;;
            "FAIL "*) fail "$prefix: ${line#FAIL }"; count=$((count + 1)); bad=$((bad + 1)) ;;
            test_*" ... ok") pass "$prefix: $(words "$line")"; count=$((count + 1)) ;;
            test_*" ... FAIL" | test_*" ... ERROR" | "  test_"*" ... FAIL" | "  test_"*" ... ERROR")
                fail "$prefix: $(words "$line") (${line##* })"; count=$((count + 1)); bad=$((bad + 1)) ;;
        esac
    done <"$log"
    if [ "$rc" -eq 0 ] && [ "$count" -gt 0 ]; then
        return 0
    elif [ "$rc" -eq 0 ]; then
        fail "$prefix: no cases ran"
    elif [ "$bad" -gt 0 ] && [ "$rc" -lt 124 ]; then
        : # the failed cases said it
    elif [ "$rc" -eq 133 ]; then
        fail "$prefix: the emulated device saw a byte it did not expect (SIGTRAP)"
    elif [ "$rc" -eq 124 ]; then
        fail "$prefix: still running after its time limit"
    else
        fail "$prefix: exit $rc"
    fi
    show "$log" 30
}

