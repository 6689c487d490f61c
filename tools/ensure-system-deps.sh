#!/usr/bin/env bash
# Installs the Debian packages the build and the C++ tests need, when they are
# missing. Safe to run repeatedly; does nothing when all are present.
set -eu
missing=()
[ -f /usr/include/gtest/gtest.h ] || missing+=(libgtest-dev)
command -v g++ >/dev/null 2>&1 || missing+=(g++)
for pkg in "$@"; do dpkg -s "$pkg" >/dev/null 2>&1 || missing+=("$pkg"); done
[ ${#missing[@]} -eq 0 ] && exit 0
if [ "$(id -u)" -ne 0 ]; then
  echo "please install: ${missing[*]} (apt-get install ${missing[*]})" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq "${missing[@]}" >/dev/null
