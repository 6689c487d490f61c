#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when they are
# missing. Safe to run repeatedly; does nothing when all are present.
set -eu
missing=()
[ -f /usr/include/gtest/gtest.h ] || missing+=(libgtest-dev)
command -v g++ >/dev/null 2>&1 || missing+=(g++)
for pkg in "$@"; do dpkg -s "$pkg" >/dev/null 2>&1 || missing+=("$pkg"); done
# The Spark example's test runs Spark in local mode, which needs Java 17 or
# later; any such Java already on the machine will do. Without one the test
# is skipped and says why, so failing to install it does not stop the build.
java_major=$(java -version 2>&1 | sed -n 's/.*version "\([0-9]*\).*/\1/p' | head -n 1)
want_java=
[ "${java_major:-0}" -ge 17 ] 2>/dev/null || want_java=openjdk-17-jre-headless
[ ${#missing[@]} -eq 0 ] && [ -z "$want_java" ] && exit 0
if [ "$(id -u)" -ne 0 ]; then
  [ ${#missing[@]} -eq 0 ] && exit 0
  echo "please install: ${missing[*]} (apt-get install ${missing[*]})" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
if [ ${#missing[@]} -gt 0 ]; then
  apt-get install -y -qq "${missing[@]}" >/dev/null
fi
# A release without Java 17 has a later one as its default.
if [ -n "$want_java" ] && ! apt-get install -y -qq "$want_java" >/dev/null &&
   ! apt-get install -y -qq default-jre-headless >/dev/null; then
  echo "could not install $want_java: the Spark test will be skipped" >&2
fi
