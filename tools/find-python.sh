#!/usr/bin/env bash
# Prints the path of a working interpreter for the version named in $1
# (for example python3.12). pyenv shims on PATH refuse to run until a version
# is selected, so each candidate is tried before it is accepted.
set -u
want=${1:-python3.12}
try() { "$1" -c 'import sys; sys.exit(0 if sys.version_info >= (3, 12) else 1)' >/dev/null 2>&1 && { command -v "$1" 2>/dev/null || echo "$1"; exit 0; }; }
case "$want" in
  */*) try "$want" ;;
esac
root=$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")
ver=${want#python}
for candidate in "$root"/versions/"$ver".*/bin/"$want" "$root"/versions/"$ver"/bin/"$want"; do
  [ -x "$candidate" ] && try "$candidate"
done
if p=$(command -v "$want" 2>/dev/null); then try "$p"; fi
for candidate in /usr/bin/"$want" /usr/local/bin/"$want"; do
  [ -x "$candidate" ] && try "$candidate"
done
echo "find-python: no working $want found" >&2
exit 1
