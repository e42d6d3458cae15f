#!/usr/bin/env bash
# Installs with apt-get whatever of the build tools, libraries and test peers is missing.
# Used by ./run and ./test; does nothing when everything is present.
set -euo pipefail

packages=(
  g++ cmake ninja-build pkg-config
  libgtest-dev libgmock-dev libjpeg-dev
  clang libclang-rt-14-dev clang-format
  dcmtk dicom3tools python3-pydicom python3-numpy bc
  qt6-base-dev libcairo2-dev fonts-dejavu-core xvfb xauth x11-utils imagemagick
  zlib1g-dev libcharls-dev libopenjp2-7-dev libgdcm-tools orthanc curl
  libopenjph-dev openjph-tools libjxl-dev libjxl-tools libopenjp2-tools
  libcurl4-openssl-dev nlohmann-json3-dev orthanc-dicomweb openssl libssl-dev
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

echo "Installing: ${missing[*]}"
sudo_cmd=()
if [[ $(id -u) -ne 0 ]]; then sudo_cmd=(sudo); fi
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
