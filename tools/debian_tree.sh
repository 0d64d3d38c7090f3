#!/usr/bin/env bash
# A Debian unstable tree for the interpreters this machine's own release does
# not carry (CPython 3.14 and 3.15), and the suite run inside it.
#
#   tools/debian_tree.sh ensure
#       make the tree if it is absent or unfinished; a finished one is reused
#   tools/debian_tree.sh run CMD [ARGS...]
#       CMD inside the tree, in a clean environment, the repository at /src
#   tools/debian_tree.sh test X.Y [--asan] [pytest args...]
#       the suite (tests/run.sh), or with --asan the suite under ASan+UBSan
#       (tests/reliability/sanitize.sh), on pythonX.Y inside the tree, in a
#       virtual environment of its own (.venv-ci-X.Y, .venv-asan-X.Y)
#
# ZQ_DEBIAN_TREE_BINDS="HOST_DIR:TREE_DIR ..." binds more host folders into the
# tree for run and test, read-only (e.g. a measuring kit beside the repository).
#
# The tree is ZQ_DEBIAN_TREE (default /var/lib/zq-ci/sid), made with debootstrap
# from the mirror the machine's own apt sources name (ZQ_DEBIAN_MIRROR to
# choose another).  It needs root.  Several users may share one tree: making
# it is serialised by a lock beside it, each command runs in a private mount
# namespace (its /proc, /dev and /src vanish with it, on every exit path), and
# the repository's build folders are covered inside the tree by folders of the
# tree's own, kept per repository, so that objects built against the tree's
# compiler and libraries never meet the host's.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
TREE=${ZQ_DEBIAN_TREE:-/var/lib/zq-ci/sid}
SUITE=sid
PACKAGES=(python3.14-dev python3.14-venv python3.15-dev python3.15-venv g++ make ca-certificates binutils git)
APT=(apt-get -o DPkg::Lock::Timeout=900 -y -q --no-install-recommends)
CLEAN_PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin

say() { echo "debian_tree: $*" >&2; }
die() { say "$*"; exit 1; }

# The first Debian mirror the machine's apt sources name (deb822 or one-line),
# leaving out the security archive, whose layout differs.
host_mirror() {
    local uri
    uri=$(cat /etc/apt/sources.list.d/*.sources 2>/dev/null | awk '$1 == "URIs:" {for (i = 2; i <= NF; i++) print $i}' \
        | grep -v -- '-security' | head -n 1 || true)
    [ -n "$uri" ] || uri=$(cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null \
        | awk '$1 == "deb" {for (i = 2; i <= NF; i++) if ($i ~ /^[a-z]+:\/\//) {print $i; break}}' \
        | grep -v -- '-security' | head -n 1 || true)
    echo "${uri:-http://deb.debian.org/debian}"
}

# Runs "$@" chrooted into the tree in a private mount namespace: /proc and
# /dev mounted, the repository bound at /src and the tree's own build folders
# over its build folders.  The namespace ends with the command, and its
# mounts with it, however the command ends.
in_tree() {
    local key
    key=$(printf '%s' "$ROOT" | sha1sum | cut -c1-12)
    mkdir -p "$TREE/src" "$ROOT/build" "$ROOT/devkit/build" \
        "$TREE/var/cache/zq-build/$key/build" "$TREE/var/cache/zq-build/$key/devkit-build"
    unshare --mount --propagation private -- bash -c '
        set -e
        T=$1 R=$2 K=$3
        shift 3
        mount -t proc proc "$T/proc"
        mount --rbind /dev "$T/dev"
        mount --bind "$R" "$T/src"
        mount --bind "$T/var/cache/zq-build/$K/build" "$T/src/build"
        mount --bind "$T/var/cache/zq-build/$K/devkit-build" "$T/src/devkit/build"
        for b in ${ZQ_DEBIAN_TREE_BINDS:-}; do
            mkdir -p "$T/${b#*:}"
            mount --bind "${b%%:*}" "$T/${b#*:}"
            mount -o remount,bind,ro "$T/${b#*:}"
        done
        exec chroot "$T" "$@"' in_tree "$TREE" "$ROOT" "$key" \
        /usr/bin/env -i HOME=/root PATH="$CLEAN_PATH" LANG=C.UTF-8 TERM="${TERM:-dumb}" \
        CSDK_WERROR="${CSDK_WERROR:-}" CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-2}" "$@"
}

# The same without the repository: for making the tree, before it is whole.
in_bare_tree() {
    unshare --mount --propagation private -- bash -c '
        set -e
        T=$1
        shift
        mount -t proc proc "$T/proc"
        mount --rbind /dev "$T/dev"
        exec chroot "$T" "$@"' in_bare_tree "$1" \
        /usr/bin/env -i HOME=/root PATH="$CLEAN_PATH" LANG=C.UTF-8 DEBIAN_FRONTEND=noninteractive "${@:2}"
}

# Whether tree $1 has every package installed.
complete() {
    [ -x "$1/usr/bin/apt-get" ] && [ -x "$1/usr/bin/python3.14" ] && [ -x "$1/usr/bin/python3.15" ] || return 1
    local states
    states=$(in_bare_tree "$1" dpkg-query -W -f '${db:Status-Status}\n' "${PACKAGES[@]}" 2>/dev/null) || return 1
    [ "$(echo "$states" | grep -c -x installed)" -eq "${#PACKAGES[@]}" ]
}

# The tree's apt settings and the host's network settings, then the packages.
provision() {
    local t=$1 mirror
    mirror=$(host_mirror)
    # The archive served here may be a dated snapshot, its Release files past
    # their Valid-Until date.
    echo 'Acquire::Check-Valid-Until "false";' > "$t/etc/apt/apt.conf.d/99zq-no-valid-until"
    printf 'deb %s %s main\ndeb-src %s %s main\ndeb-src %s trixie main\n' \
        "$mirror" "$SUITE" "$mirror" "$SUITE" "$mirror" > "$t/etc/apt/sources.list"
    # PyPI is reached through the host's resolver and its locally added CAs.
    cp -L /etc/resolv.conf "$t/etc/resolv.conf"
    mkdir -p "$t/usr/local/share/ca-certificates"
    if compgen -G '/usr/local/share/ca-certificates/*' >/dev/null; then
        cp -a /usr/local/share/ca-certificates/. "$t/usr/local/share/ca-certificates/"
    fi
    local log=$TREE.provision.log t0=$SECONDS
    {
        in_bare_tree "$t" "${APT[@]}" update &&
            in_bare_tree "$t" "${APT[@]}" install "${PACKAGES[@]}" &&
            in_bare_tree "$t" update-ca-certificates
    } > "$log" 2>&1 || { tail -n 20 "$log" >&2; die "installing the packages failed (log: $log)"; }
    say "packages: $((SECONDS - t0)) s"
}

ensure() {
    [ "$(id -u)" -eq 0 ] || die "making and entering the tree needs root (debootstrap, chroot, mounts)"
    mkdir -p "$(dirname "$TREE")"
    exec 9>"$TREE.lock"
    flock 9
    if complete "$TREE"; then
        exec 9>&-
        return 0
    fi
    local t0=$SECONDS
    if [ -x "$TREE/usr/bin/apt-get" ]; then
        say "finishing the tree at $TREE"
        provision "$TREE"
    else
        # Made beside its final place and moved there whole, so an interrupted
        # bootstrap never looks like a tree.
        local new=$TREE.new
        rm -rf --one-file-system "$new"
        if ! command -v debootstrap >/dev/null; then
            DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=900 install -y -qq debootstrap >/dev/null
        fi
        local mirror
        mirror=$(host_mirror)
        say "bootstrapping Debian $SUITE from $mirror into $new"
        debootstrap --variant=minbase "$SUITE" "$new" "$mirror" > "$TREE.debootstrap.log" 2>&1 \
            || { tail -n 20 "$TREE.debootstrap.log" >&2; die "debootstrap failed (log: $TREE.debootstrap.log)"; }
        say "debootstrap: $((SECONDS - t0)) s"
        provision "$new"
        rm -rf --one-file-system "$TREE"
        mv "$new" "$TREE"
    fi
    complete "$TREE" || die "the tree at $TREE lacks some of: ${PACKAGES[*]}"
    say "tree ready in $((SECONDS - t0)) s ($(du -sh --one-file-system "$TREE" | cut -f1))"
    exec 9>&-
}

# The whole command is read before any of it runs: a checkout updated while
# a long run goes on does not change the script under it.
main() {
    local cmd=${1:-} v script venv
    [ $# -gt 0 ] && shift
    case $cmd in
        ensure)
            ensure
            ;;
        run)
            [ $# -gt 0 ] || die "usage: $0 run CMD [ARGS...]"
            ensure
            in_tree "$@"
            ;;
        test)
            [[ ${1:-} =~ ^3\.[0-9]+$ ]] || die "usage: $0 test X.Y [--asan] [pytest args...]"
            v=$1
            shift
            script=tests/run.sh
            venv=/src/.venv-ci-$v
            if [ "${1:-}" = "--asan" ]; then
                script=tests/reliability/sanitize.sh
                shift
            fi
            ensure
            # sanitize.sh makes its own .venv-asan-X.Y from the interpreter named.
            in_tree bash -c 'set -e; cd /src; py=$1; venv=$2; script=$3; shift 3
                if [ "$script" = tests/run.sh ]; then
                    [ -x "$venv/bin/python" ] || "$py" -m venv "$venv"
                    py=$venv/bin/python
                fi
                echo "== $("$py" -c "import sys; print(sys.version.split()[0], sys.executable)")"
                PYTHON=$py exec bash "$script" "$@"' test "python$v" "$venv" "$script" "$@"
            ;;
        *)
            die "usage: $0 ensure | run CMD [ARGS...] | test X.Y [--asan] [pytest args...]"
            ;;
    esac
}
main "$@"; exit $?
