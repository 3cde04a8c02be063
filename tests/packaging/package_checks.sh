#!/usr/bin/env bash
# Checks of what the package ships, one step per CTest entry:
#   package_checks.sh STEP SOURCE_DIR STAGE_DIR TESTS_DIR
# "stage" configures SOURCE_DIR into STAGE_DIR/build with prefix /usr and no
# tests, builds it, installs it under STAGE_DIR/root and packs STAGE_DIR/deb;
# every other step checks that result.
set -euo pipefail

step=$1 src=$2 stage=$3 here=$4
build=$stage/build root=$stage/root debs=$stage/deb

name=${VEXMORA_BUS_NAME:?the bus name comes from the build}
unit=vexmora.service
units="vexmora.service vexmora-meter.service"
group=vexmora-admin
daemon=/usr/libexec/vexmorad
unit_file=$root/lib/systemd/system/$unit
activation_file=$root/usr/share/dbus-1/system-services/$name.service

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

# Runs a command quietly; shows its output when it fails.
quiet() {
    local log
    log=$(mktemp)
    if ! "$@" >"$log" 2>&1; then
        cat "$log" >&2
        rm -f "$log"
        fail "$*"
    fi
    rm -f "$log"
}

# The expected files, without comments and blank lines.
expected_files() {
    grep -v -e '^#' -e '^$' "$here/expected-install.txt" | sort
}

# Files that other parts of the project install (the command-line tools)
# are allowed beside the expected ones and reported.
is_other_component() {
    case $1 in
    usr/bin/vexmora* | usr/sbin/vexmora* | usr/share/man/man*/vexmora*) return 0 ;;
    esac
    return 1
}

compare_lists() { # what, actual-file
    local what=$1 actual=$2 mine others
    mine=$(mktemp)
    others=""
    while IFS= read -r path; do
        if is_other_component "$path"; then
            others+=" $path"
        else
            echo "$path"
        fi
    done <"$actual" >"$mine"
    [ -z "$others" ] || echo "$what: also installed by other components:$others"
    if ! diff -u <(expected_files) "$mine"; then
        rm -f "$mine"
        fail "$what differs from tests/packaging/expected-install.txt (- expected, + found)"
    fi
    rm -f "$mine"
}

# The value of KEY= in FILE (the last one).
value_of() {
    sed -n "s/^$1=//p" "$2" | tail -n 1
}

case $step in
stage)
    mkdir -p "$stage"
    quiet cmake -S "$src" -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
        -DCMAKE_INSTALL_PREFIX=/usr
    # At a lower priority: the other tests run beside it and some measure time.
    quiet nice -n 10 cmake --build "$build" -j"$(nproc 2>/dev/null || echo 2)"
    rm -rf "$root" "$debs"
    DESTDIR=$root quiet cmake --install "$build"
    (cd "$build" && quiet cpack -G DEB -B "$debs")
    ls "$debs"/*.deb
    ;;

install_tree)
    listing=$(mktemp)
    (cd "$root" && find . ! -type d | sed 's#^\./##' | sort) >"$listing"
    compare_lists "cmake --install" "$listing"
    rm -f "$listing"
    [ -x "$root$daemon" ] || fail "$daemon is not executable"
    cmp "$build/packaging/generated/$name.conf" "$root/usr/share/dbus-1/system.d/$name.conf" ||
        fail "the installed policy is not the one the build made of packaging/bus-policy.conf.in"
    cmp "$src/service/$name.server.xml" \
        "$root/usr/share/dbus-1/interfaces/$name.server.xml" ||
        fail "the installed interface XML is not the one the adaptor is built from"
    [ "$(value_of ExecStart "$unit_file")" = "$daemon" ] || fail "ExecStart of $unit"
    [ "$(value_of Type "$unit_file")" = dbus ] || fail "Type of $unit"
    [ "$(value_of BusName "$unit_file")" = "$name" ] || fail "BusName of $unit"
    [ "$(value_of StateDirectory "$unit_file")" = lumivar ] ||
        fail "StateDirectory of $unit is not lumivar (/var/lib/lumivar)"
    [ "$(value_of Restart "$unit_file")" = always ] || fail "Restart of $unit"
    echo "installed tree as expected"
    ;;

activation_file)
    [ "$(value_of Name "$activation_file")" = "$name" ] || fail "Name= of the activation file"
    [ "$(value_of Exec "$activation_file")" = "$daemon" ] || fail "Exec= of the activation file"
    [ "$(value_of User "$activation_file")" = root ] || fail "User= of the activation file"
    [ "$(value_of SystemdService "$activation_file")" = "$unit" ] ||
        fail "SystemdService= of the activation file"
    [ -f "$root/lib/systemd/system/$(value_of SystemdService "$activation_file")" ] ||
        fail "SystemdService= names no installed unit"
    # A system bus reading the installed services directory must offer the
    # name for activation (it ignores files it cannot parse, or whose file name
    # is not the bus name).
    config=$(mktemp --suffix=.conf)
    cat >"$config" <<XML
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:tmpdir=/tmp</listen>
  <auth>EXTERNAL</auth>
  <servicedir>$root/usr/share/dbus-1/system-services</servicedir>
  <policy context="default">
    <allow user="*"/>
    <allow send_destination="*"/>
    <allow receive_sender="*"/>
  </policy>
</busconfig>
XML
    address_file=$(mktemp)
    dbus-daemon --config-file="$config" --nofork --print-address=3 3>"$address_file" &
    bus_pid=$!
    trap 'kill $bus_pid 2>/dev/null || true; rm -f "$config" "$address_file"' EXIT
    for _ in $(seq 100); do
        [ -s "$address_file" ] && break
        sleep 0.05
    done
    address=$(head -n 1 "$address_file")
    [ -n "$address" ] || fail "dbus-daemon did not start"
    names=$(busctl --timeout=10 --address="$address" call org.freedesktop.DBus /org/freedesktop/DBus \
        org.freedesktop.DBus ListActivatableNames)
    case " $names " in
    *" \"$name\" "*) echo "activatable: $name" ;;
    *) fail "the bus does not offer $name for activation: $names" ;;
    esac
    ;;

deb)
    shopt -s nullglob
    packages=("$debs"/*.deb)
    [ ${#packages[@]} -eq 1 ] || fail "expected one .deb in $debs, found ${#packages[@]}"
    deb=${packages[0]}
    echo "package: $deb"
    contents=$(dpkg-deb -c "$deb")
    echo "$contents"
    listing=$(mktemp)
    awk '$1 !~ /^d/ { sub(/^\.\//, "", $6); print $6 }' <<<"$contents" | sort >"$listing"
    compare_lists "dpkg-deb -c" "$listing"
    rm -f "$listing"
    awk '$2 != "root/root" { bad = 1; print "not owned by root: " $0 } END { exit bad }' \
        <<<"$contents" || fail "files not owned by root in the package"
    grep -q "^-rwxr-xr-x .* \./usr/libexec/vexmorad$" <<<"$contents" ||
        fail "vexmorad is not mode 0755 in the package"

    dpkg-deb -I "$deb"
    [ "$(dpkg-deb -f "$deb" Package)" = vexmora ] || fail "package name"
    [ "$(dpkg-deb -f "$deb" Architecture)" = "$(dpkg --print-architecture)" ] ||
        fail "architecture"
    depends=$(dpkg-deb -f "$deb" Depends)
    # dpkg-shlibdeps names the package of every library vexmorad links, with
    # a version; dbus (the system bus) is added by hand.
    libraries=$(readelf -d "$root$daemon" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
    [ -n "$libraries" ] || fail "no NEEDED entries in vexmorad"
    # Read whole, not piped into a reader that stops early: under pipefail the
    # writer's SIGPIPE would end the script without a word.
    cache=$(ldconfig -p)
    for library in $libraries; do
        path=$(awk -v lib="$library" '$1 == lib && /x86-64|x32|64bit/ && !found { print $NF; found = 1 }' <<<"$cache")
        [ -n "$path" ] ||
            path=$(awk -v lib="$library" '$1 == lib && !found { print $NF; found = 1 }' <<<"$cache")
        package=$( (dpkg -S "$path" || dpkg -S "$(readlink -f "$path")") 2>/dev/null |
            awk -F: 'NR == 1 { print $1 }')
        [ -n "$package" ] || fail "no package owns $library ($path)"
        grep -Fq "$package (>= " <<<"$depends" ||
            fail "Depends lacks a versioned $package for $library: $depends"
        echo "$library: $package"
    done
    for package in libqt5core5a libqt5dbus5 dbus; do
        grep -Eq "(^|, )$package( |,|$)" <<<"$depends" || fail "Depends lacks $package: $depends"
    done

    control=$(mktemp -d)
    dpkg-deb -e "$deb" "$control"
    for script in postinst prerm postrm; do
        [ -x "$control/$script" ] || fail "$script missing or not executable"
        sh -n "$control/$script" || fail "$script is not valid sh"
    done
    grep -q "group='$group'" "$control/postinst" || fail "postinst does not create $group"
    grep -q "units='$units'" "$control/postinst" || fail "postinst does not name $units"
    rm -rf "$control"
    ;;

maintainer_scripts)
    # The scripts of the .deb run against stand-ins for the system commands,
    # which record what they were asked to do.
    control=$(mktemp -d)
    bin=$(mktemp -d)
    trap 'rm -rf "$control" "$bin"' EXIT
    dpkg-deb -e "$debs"/*.deb "$control"
    calls=$bin/calls
    for command in groupadd groupdel systemctl deb-systemd-helper deb-systemd-invoke \
        dbus-send; do
        printf '#!/bin/sh\necho "%s $*" >>"%s"\n' "$command" "$calls" >"$bin/$command"
    done
    # getent answers as if the group were missing unless HAVE_GROUP is set.
    printf '#!/bin/sh\n[ -n "$HAVE_GROUP" ] && echo "%s:x:999:"\n[ -n "$HAVE_GROUP" ]\n' \
        "$group" >"$bin/getent"
    # was-enabled answers yes, as it does for a new installation.
    printf '#!/bin/sh\necho "deb-systemd-helper $*" >>"%s"\n[ "$2" != was-enabled ] || [ -z "$WAS_DISABLED" ]\n' \
        "$calls" >"$bin/deb-systemd-helper"
    chmod +x "$bin"/*
    # The scripts write the settings of /var/lib/lumivar: run them over a
    # tmpfs there, in a mount namespace of their own.
    mkdir -p /var/lib/lumivar
    run() { # expected-calls script arguments...
        local expected=$1
        shift
        : >"$calls"
        PATH=$bin:$PATH unshare --mount --propagation private sh -c \
            'mount -t tmpfs tmpfs /var/lib/lumivar && exec sh "$@"' sh "$control/$1" "${@:2}" ||
            fail "$* exited with $?"
        if ! diff -u <(printf '%s' "$expected") "$calls"; then
            fail "$* made other calls than expected (- expected, + made)"
        fi
        echo "ok: $*"
    }
    # Where systemd runs the scripts also reload it and start or stop the units.
    systemd_start="" systemd_restart="" systemd_stop="" systemd_reload="" bus_reload=""
    enable="" update="" mask="" purge=""
    if [ -S /run/dbus/system_bus_socket ]; then
        bus_reload="dbus-send --system --type=method_call --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus org.freedesktop.DBus.ReloadConfig"$'\n'
    fi
    [ ! -d /run/systemd/system ] || systemd_reload="systemctl --system daemon-reload"$'\n'
    for u in $units; do
        enable+="deb-systemd-helper unmask $u"$'\n'"deb-systemd-helper --quiet was-enabled $u"$'\n'"deb-systemd-helper enable $u"$'\n'
        update+="deb-systemd-helper unmask $u"$'\n'"deb-systemd-helper --quiet was-enabled $u"$'\n'"deb-systemd-helper update-state $u"$'\n'
        mask+="deb-systemd-helper mask $u"$'\n'
        purge+="deb-systemd-helper purge $u"$'\n'"deb-systemd-helper unmask $u"$'\n'
        if [ -d /run/systemd/system ]; then
            systemd_start+="deb-systemd-invoke start $u"$'\n'
            systemd_restart+="deb-systemd-invoke restart $u"$'\n'
            systemd_stop+="deb-systemd-invoke stop $u"$'\n'
        fi
    done
    run "groupadd --system $group
$bus_reload$enable$systemd_reload$systemd_start" postinst configure
    HAVE_GROUP=1 WAS_DISABLED=1 run "$bus_reload$update$systemd_reload$systemd_restart" \
        postinst configure 1.0.0
    run "$systemd_stop" prerm remove
    run "$systemd_reload$mask$bus_reload" postrm remove
    HAVE_GROUP=1 run "$systemd_reload$purge""groupdel $group
$bus_reload" postrm purge

    # Counting is switched on where the settings lack the key, and only there.
    . "$src/packaging/debian/count-on-first-install.sh"
    settings=$bin/setting.conf
    for case in "|[Ostvane]\nNETFLOW_COUNT_STATUS=1\n" \
        "[Ostvane]\nLogLevel=3\n|[Ostvane]\nNETFLOW_COUNT_STATUS=1\nLogLevel=3\n" \
        "[Other]\nx=1|[Other]\nx=1\n[Ostvane]\nNETFLOW_COUNT_STATUS=1\n" \
        "[Ostvane]\nNETFLOW_COUNT_STATUS=0\n|[Ostvane]\nNETFLOW_COUNT_STATUS=0\n"; do
        rm -f "$settings"
        [ -z "${case%%|*}" ] || printf "${case%%|*}" >"$settings"
        count_on_unless_set "$settings"
        [ "$(cat "$settings")" = "$(printf "${case#*|}")" ] ||
            fail "count_on_unless_set on '${case%%|*}' gave: $(cat "$settings")"
    done
    echo "ok: counting switched on where the key is absent"
    ;;

unit_verify)
    # verify checks the unit's syntax, its dependencies and that ExecStart=
    # names an executable: in a root made of the staged tree and this host's
    # units (for dbus.socket and the targets). It only warns about unknown
    # keys and bad values, so any output fails too.
    verify_root=$(mktemp -d)
    trap 'rm -rf "$verify_root"' EXIT
    cp -a "$root/." "$verify_root/"
    cp -an /lib/systemd/system/. "$verify_root/lib/systemd/system/"
    for u in $units; do
        output=$(systemd-analyze verify --root="$verify_root" "/lib/systemd/system/$u" 2>&1) ||
            fail "systemd-analyze verify $u: $output"
        [ -z "$output" ] || fail "systemd-analyze verify complains about $u: $output"
        echo "systemd-analyze verify $u: no complaints"
    done
    ;;

unit_security)
    # The meter needs the host's network, netlink and read access to /proc.
    for limit in vexmora.service:1.5 vexmora-meter.service:2.0; do
        u=${limit%:*} limit=${limit#*:}
        report=$(systemd-analyze security --offline=yes --root="$root" \
            "/lib/systemd/system/$u" 2>&1) || true
        echo "$report"
        level=$(sed -n "s/^→ Overall exposure level for $u: \([0-9.]*\) .*/\1/p" <<<"$report")
        [ -n "$level" ] || fail "no exposure level in the report on $u"
        awk -v level="$level" -v limit="$limit" 'BEGIN { exit !(level <= limit) }' ||
            fail "exposure level $level of $u is above $limit"
        echo "$u: exposure level $level (at most $limit)"
    done
    ;;

*)
    fail "unknown step $step"
    ;;
esac
