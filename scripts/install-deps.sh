#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need.
# Quiet and quick when everything is already there; `apt-get update` only runs
# when something is missing.
set -euo pipefail

packages=(
  build-essential cmake pkg-config lld
  libpcl-dev libopencv-dev libeigen3-dev libyaml-cpp-dev
  libspdlog-dev libfmt-dev libboost-filesystem-dev libsystemd-dev
  cyclonedds-dev cyclonedds-tools
  libgtest-dev libgmock-dev libbenchmark-dev
  python3 python3-onnx python3-numpy
  clang libclang-rt-14-dev clang-tidy clang-format
  openssl
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q '^install ok installed$'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "install-deps: installing ${missing[*]}"
sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
  sudo_cmd=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
echo "install-deps: done"
