#!/usr/bin/env bash
# Runs the README's two commands as a new user would: in a clean clone of the
# main branch, on a minimal Debian 12 made with debootstrap, with an empty
# environment. Prints each command's exit status and time. Run it before
# closing an issue that changes what the project installs or needs.
#
#   tools/fresh-check.sh [BRANCH]   (default: main)
#
# Needs root (debootstrap, chroot, mounts) and Debian's mirror; installs
# debootstrap when it is missing. Takes a few minutes for the root and as
# long as tools/test.sh takes on a fresh machine after that; run it under
# `nice -n 19` on a shared machine. The root is made in a new folder under
# $TMPDIR (or /tmp) and removed at the end, unless a command failed or
# FRESH_CHECK_KEEP=1; the logs of the commands stay in that folder.
# DEBIAN_MIRROR chooses the mirror.
set -euo pipefail

branch=${1:-main}
# The mirror this machine's apt already uses, unless DEBIAN_MIRROR says otherwise.
host_mirror() {
    local uri
    uri=$(grep -hs -m1 -E '^URIs:' /etc/apt/sources.list.d/*.sources | awk '{print $2}' | head -n1)
    if [[ -z $uri ]]; then
        uri=$(grep -hs -m1 -E '^deb[[:space:]]' /etc/apt/sources.list | awk '{print $2}' | head -n1)
    fi
    echo "$uri"
}
mirror=${DEBIAN_MIRROR:-$(host_mirror)}
if [[ -z $mirror ]]; then
    echo "fresh-check.sh: no Debian mirror found in /etc/apt; set DEBIAN_MIRROR" >&2
    exit 2
fi
repo=$(cd "$(dirname "$0")/.." && pwd)

if [[ $(id -u) -ne 0 ]]; then
    echo "fresh-check.sh: needs root (debootstrap, chroot and mounts); try sudo $0" >&2
    exit 2
fi
if ! command -v debootstrap >/dev/null; then
    echo "=== installing debootstrap"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq debootstrap >/dev/null
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/quillfind-fresh.XXXXXX")
root=$work/root
mounted=()
cleanup() {
    local point
    for ((index = ${#mounted[@]} - 1; index >= 0; index--)); do
        point=${mounted[index]}
        umount -R "$point" 2>/dev/null || umount -R -l "$point" 2>/dev/null || true
    done
    # Never remove a tree while anything is still mounted inside it: that
    # would reach into the host's /dev.
    if [[ ${FRESH_CHECK_KEEP:-0} == 1 ]] || findmnt -rn -o TARGET | grep -qE "^$root(/|\$)"; then
        echo "=== kept the root in $root"
    else
        rm -rf --one-file-system -- "$root"
    fi
    echo "=== logs in $work"
}
trap cleanup EXIT

elapsed() { printf '%d min %02d s' $(($1 / 60)) $(($1 % 60)); }

echo "=== debootstrap --variant=minbase bookworm into $root"
started=$SECONDS
if ! debootstrap --variant=minbase bookworm "$root" "$mirror" >"$work/debootstrap.log" 2>&1; then
    tail -n 20 "$work/debootstrap.log" >&2
    echo "fresh-check.sh: debootstrap failed" >&2
    exit 1
fi
echo "    done in $(elapsed $((SECONDS - started)))"

# What the machine itself gives every program: name resolution, the
# processes, the devices and pseudo-terminals the emulated ports are made of.
cp /etc/resolv.conf "$root/etc/resolv.conf"
# The root a mount of its own, as a machine's / is: otherwise unshare
# --mount inside it cannot make / private (EINVAL), and the package test
# that runs the program in a mount namespace fails where a machine passes.
mount --bind "$root" "$root"
mounted+=("$root")
for point in proc sys dev; do
    case $point in
        proc) mount -t proc proc "$root/proc" ;;
        sys) mount -t sysfs sysfs "$root/sys" ;;
        dev) mount --rbind /dev "$root/dev" && mount --make-rslave "$root/dev" ;;
    esac
    mounted+=("$root/$point")
done

# A clone holds what was committed on the branch and nothing else.
# The clone's folder at the top of the new root; the commands run there.
checkout=quillfind
git clone -q --branch "$branch" --single-branch "$(git -C "$repo" rev-parse --git-common-dir)" \
    "$root/$checkout"
echo "=== $branch at $(git -C "$root/$checkout" log -1 --format='%h %s')"

failed=0
for command in tools/demo.sh tools/test.sh; do
    log=$work/${command##*/}.log
    started=$SECONDS
    status=0
    chroot "$root" /usr/bin/env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
        HOME=/root /bin/bash -c "cd /$checkout && $command" >"$log" 2>&1 </dev/null || status=$?
    echo "$command: exit status $status after $(elapsed $((SECONDS - started)))"
    # CTest's count of each preset, so that a green run shows what it ran.
    grep -E '^(=== |[0-9]+% tests passed)' "$log" | sed 's/^/    /' || true
    if ((status != 0)); then
        failed=1
        tail -n 30 "$log" | sed 's/^/    /'
    fi
done
if ((failed)); then
    FRESH_CHECK_KEEP=1
fi
exit "$failed"
