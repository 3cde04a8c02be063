# Sourced by the end-to-end scripts that run the meter between two network
# namespaces: with a, b and work set, removes both namespaces, the scratch
# directory and the processes in pids on exit, and gives fail and eventually.
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    ip netns del "$a" 2>/dev/null || true
    ip netns del "$b" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
fail() {
    echo "FAIL: $*" >&2
    cat "$work/meter.log" >&2 || true
    exit 1
}
eventually() { # SECONDS COMMAND...
    local until=$((SECONDS + $1))
    shift
    until "$@" 2>/dev/null; do [ "$SECONDS" -lt "$until" ] || return 1; sleep 0.2; done
}
