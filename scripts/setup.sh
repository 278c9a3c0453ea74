#!/usr/bin/env bash
# Installs with apt-get whatever Tapline needs to build, run and test that this machine lacks.
# Idempotent, and silent when nothing is missing.
set -euo pipefail

packages=(
  g++ cmake make pkg-config
  googletest libgtest-dev libgmock-dev
  qt6-base-dev qt6-base-dev-tools libqt6svg6 libgl1-mesa-dev
  fonts-liberation2
  xvfb xauth
  curl python3 libssl-dev
  clang libclang-rt-14-dev
  appstream desktop-file-utils dpkg-dev file
  tshark
)
if [[ "${TAPLINE_SETUP_EXTRA:-}" != "" ]]; then
  read -r -a extra <<< "$TAPLINE_SETUP_EXTRA"
  packages+=("${extra[@]}")
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

echo "setup: installing ${missing[*]}" >&2
sudo=""
[[ $(id -u) -ne 0 ]] && sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
# tshark's package asks whether non-root users may capture; the tests only read files.
echo "wireshark-common wireshark-common/install-setuid boolean false" | $sudo debconf-set-selections
$sudo apt-get update -qq >/dev/null
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
