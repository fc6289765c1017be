#!/usr/bin/env bash
# Installs the Debian 12 packages the project builds and tests with.
# Idempotent: packages already present are left alone, and apt-get runs only
# when something is missing.
set -euo pipefail

packages=(
  build-essential cmake pkg-config
  libgrpc++-dev libgrpc-dev protobuf-compiler-grpc
  libprotobuf-dev protobuf-compiler
  libapr1-dev libaprutil1-dev libexpat1-dev
  libespeak-ng-dev espeak-ng-data
  libsoxr-dev libxxhash-dev
  libicu-dev
  libssl-dev openssl
  nlohmann-json3-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  sox file
  python3-prometheus-client
  clang-14 libclang-rt-14-dev
)

missing=()
for p in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  if [[ "$status" != "install ok installed" ]]; then
    missing+=("$p")
  fi
done

if [[ ${#missing[@]} -eq 0 ]]; then
  echo "install-deps: all packages present"
  exit 0
fi

echo "install-deps: installing ${missing[*]}"
sudo_cmd=()
if [[ $(id -u) -ne 0 ]]; then
  sudo_cmd=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
