# Switches traffic counting on in the settings file $1 unless it names the
# key already: an administrator's choice, on or off, is never overwritten.
count_on_unless_set() {
    settings=$1
    grep -qs '^NETFLOW_COUNT_STATUS=' "$settings" && return 0
    mkdir -p "$(dirname "$settings")"
    if grep -qs '^\[Ostvane\]' "$settings"; then
        sed -i '/^\[Ostvane\]/a NETFLOW_COUNT_STATUS=1' "$settings"
    else
        if [ -s "$settings" ] && [ -n "$(tail -c 1 "$settings")" ]; then
            echo >>"$settings"
        fi
        printf '[Ostvane]\nNETFLOW_COUNT_STATUS=1\n' >>"$settings"
    fi
}
