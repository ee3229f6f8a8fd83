#!/usr/bin/env bash
# Runs a test command as an ordinary user.
#
#   scripts/as-test-user.sh [--writable DIR]... COMMAND [ARG]...
#
# As any user but root the command runs unchanged. As root it runs as the
# user clsttest (made on first use, with a home directory), because root
# ignores tty exclusive mode and file modes and so hides faults that every
# real user meets. The directories given with --writable are made and handed
# to that user; the command and its files must be reachable by it, so the
# directories above them get search permission (o+x) where they lack it.
set -euo pipefail

writable=()
while [[ ${1:-} == --writable ]]; do
    writable+=("$2")
    shift 2
done
if (($# == 0)); then
    echo "usage: $0 [--writable DIR]... COMMAND [ARG]..." >&2
    exit 2
fi
if [[ $(id -u) -ne 0 ]]; then
    exec "$@"
fi

user=${CLST_TEST_USER:-clsttest}
if ! id -u "$user" >/dev/null 2>&1; then
    # Several tests may start at once; one of them makes the user.
    exec 9>/run/clsttest-useradd.lock
    flock 9
    if ! id -u "$user" >/dev/null 2>&1; then
        useradd --create-home --shell /bin/bash --comment "ClSerTolvane tests" "$user"
    fi
    exec 9>&-
fi
home=$(getent passwd "$user" | cut -d: -f6)

# Search permission on every directory above `path`, so the user can reach it.
reach() {
    local dir
    dir=$(dirname "$(readlink -f "$1")")
    while [[ $dir != / ]]; do
        if [[ $(stat -c %A "$dir") != ?????????[xt] ]]; then
            chmod o+x "$dir"
            echo "as-test-user: made $dir searchable for $user" >&2
        fi
        dir=$(dirname "$dir")
    done
}

for dir in "${writable[@]}"; do
    mkdir -p "$dir"
    chown -R "$user:" "$dir"
    reach "$dir"
done
for arg in "$@"; do
    if [[ $arg == /* && -e $arg ]]; then
        reach "$arg"
    fi
done

exec setpriv --reuid="$user" --regid="$user" --init-groups --inh-caps=-all \
    env -u XDG_RUNTIME_DIR -u DBUS_SESSION_BUS_ADDRESS HOME="$home" USER="$user" \
    LOGNAME="$user" "$@"
