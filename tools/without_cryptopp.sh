#!/usr/bin/env bash
# Runs a command in a mount namespace of its own in which Crypto++'s shared library cannot be
# loaded: the file behind libcrypto++.so.8 is covered by /dev/null, which reads as empty. The
# installed module must carry everything it needs, so a suite run this way fails when it still
# asks the loader for Crypto++. Before the command starts, a dlopen of the library is tried and
# must fail, so that a mask that did not take cannot let the check pass silently. Needs root
# (mount namespaces).
#
#   tools/without_cryptopp.sh python3 -m pytest tests/python
set -euo pipefail

if (($# == 0)); then
  echo "usage: tools/without_cryptopp.sh <command> [args...]" >&2
  exit 2
fi

if [[ "${QIV_CRYPTOPP_MASKED:-}" != 1 ]]; then
  # A private mount namespace: the mask below is seen by this command and its children only.
  QIV_CRYPTOPP_MASKED=1 exec unshare --mount --propagation private bash "$0" "$@"
fi

soname=libcrypto++.so.8
# Every copy the loader could find: what its cache names, and the usual folders.
targets=()
while read -r path; do
  [[ -n "$path" ]] && targets+=("$(readlink -f "$path")")
done < <({ ldconfig -p 2>/dev/null | sed -n "s/^[[:space:]]*$soname .*=> //p"
           ls /usr/lib/x86_64-linux-gnu/$soname /lib/x86_64-linux-gnu/$soname 2>/dev/null
         } | sort -u)
for target in $(printf '%s\n' "${targets[@]}" | sort -u); do
  mount --bind /dev/null "$target"
done

# The proof: the loader must refuse the library by name, as the module's own load would.
if ! /usr/bin/python3 - "$soname" <<'EOF'
import ctypes
import sys

try:
    ctypes.CDLL(sys.argv[1])
except OSError as exc:
    print(f"without_cryptopp.sh: {sys.argv[1]} is unloadable here ({exc})")
    sys.exit(0)
print(f"without_cryptopp.sh: {sys.argv[1]} still loads: the mask did not take", file=sys.stderr)
sys.exit(1)
EOF
then
  exit 1
fi
unset QIV_CRYPTOPP_MASKED
exec "$@"
