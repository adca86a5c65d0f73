#!/usr/bin/env bash
# Installs every Debian package the build, the program and its tests need.
# Idempotent: packages already present are left alone, and apt is only asked
# when something is missing.
set -euo pipefail

PKGS=(
  # build
  build-essential cmake ninja-build pkg-config g++ googletest libgtest-dev
  # libraries the program links
  libfuse-dev libmbedtls-dev liblz4-dev libphysfs-dev
  # the FUSE tools (fuse3's fusermount serves libfuse 2 too; sshfs needs it)
  fuse3
  # tools the tests call
  attr python3 coreutils util-linux procps psmisc openssl
  # peers the tests start on loopback: FTP servers, proxies, syslog, captures
  pure-ftpd python3-pyftpdlib tinyproxy dante-server rsyslog tshark
  # vsftpd's libraries (the program itself is unpacked below)
  libwrap0 libcap2 libpam0g libssl3
  # archive fixtures
  zip unzip p7zip-full genisoimage
  # what the benchmarks compare against (bench/)
  bindfs sshfs openssh-server rclone fuse-zip fio linux-perf
  # fuzz targets (cmake -DZK_FUZZ=ON with clang; run by scripts/fuzz.sh)
  clang libclang-rt-14-dev
)

missing=()
for p in "${PKGS[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  # The servers among them are started by the tests on their own ports; keep
  # the package scripts from starting them as system services.
  policy=/usr/sbin/policy-rc.d
  made_policy=0
  if [ ! -e "$policy" ]; then
    printf '#!/bin/sh\nexit 101\n' > "$policy" && chmod 755 "$policy" && made_policy=1
  fi
  trap '[ "$made_policy" = 1 ] && rm -f "$policy"' EXIT
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# vsftpd conflicts with pure-ftpd as a package (both are "ftp-server"); the
# tests need both, so Debian's vsftpd package is unpacked beside the system
# as a plain program the tests start themselves.
VSFTPD_DIR=/opt/zk-peers/vsftpd
if [ ! -x "$VSFTPD_DIR/usr/sbin/vsftpd" ]; then
  tmp=$(mktemp -d)
  (cd "$tmp" && apt-get download -qq vsftpd >/dev/null 2>&1 || { apt-get update -qq && apt-get download -qq vsftpd; })
  mkdir -p "$VSFTPD_DIR"
  dpkg-deb -x "$tmp"/vsftpd_*.deb "$VSFTPD_DIR"
  rm -rf "$tmp"
fi

# FUSE needs its device node; a fresh container may lack it.
if [ ! -e /dev/fuse ]; then
  mknod -m 666 /dev/fuse c 10 229 || true
fi
