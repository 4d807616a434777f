#!/usr/bin/env bash
# Installs every Debian package that building, testing and benchmarking need.
# Skips what is already present; works as root and through sudo.
set -euo pipefail

packages=(
  build-essential cmake pkg-config ninja-build
  qt6-base-dev qt6-base-dev-tools libqt6opengl6-dev libgl-dev
  libqcustomplot-dev
  desktop-file-utils
  shared-mime-info  # update-mime-database, which checks the logs' MIME type
  lintian           # checks the Debian package
  appstream
  systemd       # systemd-analyze, which checks the user service (containers lack it)
  libudev-dev
  googletest libgtest-dev libgmock-dev
  umockdev libumockdev-dev
  libbenchmark-dev
  xvfb xauth
  netcat-openbsd
  clang-format
  clang libclang-rt-14-dev
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

if [ "$(id -u)" -eq 0 ]; then
  as_root=()
elif command -v sudo >/dev/null 2>&1; then
  as_root=(sudo)
else
  echo "install-deps: missing packages (${missing[*]}) and neither root nor sudo" >&2
  exit 1
fi

echo "install-deps: installing ${missing[*]}"
"${as_root[@]}" apt-get update -q
DEBIAN_FRONTEND=noninteractive "${as_root[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
