#!/usr/bin/env bash
# Minimal Debian trees for checks that must see a machine other than this one: a tree is made
# with debootstrap (variant minbase) from the mirror that this machine's apt uses, and commands
# run in it under chroot, with /proc and /dev mounted for them only.
#
#   tools/debian_tree.sh make <suite> <dir> [pkg,pkg...]   # reuses <dir> if it matches
#   tools/debian_tree.sh run <dir> <command> [args...]
#   tools/debian_tree.sh remove <dir>...                   # refused while anything is mounted in one
#
# make: a tree already in <dir> for the same suite and packages is kept (debootstrap takes a
# minute or two); otherwise it is built beside it and moved into place only once complete, so
# an interrupted build is never taken for a tree. QIV_DEBIAN_MIRROR names another mirror.
# run: the mounts live in a mount namespace of this command alone, so they go away with it on
# every way out, a kill included, and never show on the host; the command sees a clean
# environment (PATH, HOME=/root, LANG=C.UTF-8) and the host's resolv.conf. Needs root.
set -euo pipefail

usage() {
  echo "usage: tools/debian_tree.sh make <suite> <dir> [pkg,pkg...]" >&2
  echo "       tools/debian_tree.sh run <dir> <command> [args...]" >&2
  echo "       tools/debian_tree.sh remove <dir>..." >&2
  exit 2
}

# The first archive (not security) URI of this machine's apt sources, deb822 or one-line.
debian_mirror() {
  if [[ -n "${QIV_DEBIAN_MIRROR:-}" ]]; then
    echo "$QIV_DEBIAN_MIRROR"
    return
  fi
  local uri
  uri="$(cat /etc/apt/sources.list.d/*.sources 2>/dev/null |
           sed -n 's/^URIs:[[:space:]]*\([^[:space:]]*\).*/\1/p' | grep -v -- '-security' |
           head -n 1 || true)"
  if [[ -z "$uri" ]]; then
    uri="$(cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null |
             sed -n 's/^deb[[:space:]]\+\(\[[^]]*\][[:space:]]\+\)\?\([^[:space:]]*\).*/\2/p' |
             grep -v -- '-security' | head -n 1 || true)"
  fi
  [[ -n "$uri" ]] || { echo "debian_tree.sh: no Debian mirror in /etc/apt sources" >&2; exit 1; }
  echo "$uri"
}

# A recursive removal must never run through a mount (a chroot's /dev would empty the host's).
refuse_mounted() {
  local dir held
  dir="$(readlink -m "$1")"
  held="$(awk -v d="$dir" '$2 == d || index($2, d "/") == 1 { print $2 }' /proc/mounts)"
  if [[ -n "$held" ]]; then
    echo "debian_tree.sh: not removing $dir, file systems are mounted in it: ${held//$'\n'/ }" >&2
    exit 1
  fi
}

make_tree() {
  local suite="$1" dir="$2" include="${3:-}"
  local stamp="suite=$suite include=$include"
  if [[ -f "$dir/.qiv-tree" && "$(cat "$dir/.qiv-tree")" == "$stamp" ]]; then
    echo "debian_tree.sh: reusing the $suite tree in $dir"
    return
  fi
  local mirror new="$dir.new" log="$dir.log" start=$SECONDS
  mirror="$(debian_mirror)"
  refuse_mounted "$new"
  refuse_mounted "$dir"
  rm -rf --one-file-system "$new" "$dir"
  mkdir -p "$(dirname "$dir")"
  echo "debian_tree.sh: debootstrap --variant=minbase $suite${include:+ (with $include)} into $dir"
  local args=(--variant=minbase)
  [[ -n "$include" ]] && args+=("--include=$include")
  if ! debootstrap "${args[@]}" "$suite" "$new" "$mirror" >"$log" 2>&1; then
    tail -20 "$log" >&2
    echo "debian_tree.sh: debootstrap failed (log: $log)" >&2
    exit 1
  fi
  echo "$stamp" >"$new/.qiv-tree"
  mv "$new" "$dir"
  echo "debian_tree.sh: $suite tree ready in $((SECONDS - start)) s"
}

run_in_tree() {
  local dir
  dir="$(cd "$1" && pwd)"
  shift
  [[ -f "$dir/.qiv-tree" ]] || { echo "debian_tree.sh: $dir is no tree made here" >&2; exit 1; }
  if [[ "${QIV_TREE_NAMESPACE:-}" != "$dir" ]]; then
    local rc=0
    QIV_TREE_NAMESPACE="$dir" unshare --mount --propagation private \
      bash "${BASH_SOURCE[0]}" run "$dir" "$@" || rc=$?
    # The namespace took its mounts with it; anything left would be a mount on the host.
    if grep -qF " $dir/" /proc/mounts; then
      echo "debian_tree.sh: mounts left under $dir:" >&2
      grep -F " $dir/" /proc/mounts >&2
      rc=1
    fi
    return "$rc"
  fi
  # Inside the namespace. Unmounted again on the way out as well, innermost first.
  mounted_tree="$dir"
  trap 'umount -R "$mounted_tree/dev" 2>/dev/null || true; umount "$mounted_tree/proc" 2>/dev/null || true' EXIT
  mount -t proc proc "$dir/proc"
  # /dev with /dev/shm (semaphores of multiprocessing) and /dev/pts.
  mount --rbind /dev "$dir/dev"
  cp -L /etc/resolv.conf "$dir/etc/resolv.conf" 2>/dev/null || true
  chroot "$dir" /usr/bin/env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    HOME=/root LANG=C.UTF-8 TERM=dumb "$@"
}

(($# >= 1)) || usage
command="$1"
shift
case "$command" in
  make) (($# == 2 || $# == 3)) || usage; make_tree "$@" ;;
  run) (($# >= 2)) || usage; run_in_tree "$@" ;;
  remove)
    (($# >= 1)) || usage
    for dir in "$@"; do refuse_mounted "$dir"; done
    rm -rf --one-file-system "$@"
    ;;
  *) usage ;;
esac
