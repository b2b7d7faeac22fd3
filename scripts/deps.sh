#!/usr/bin/env bash
# Installs everything the launcher needs to build, test and run its demo on Debian 12.
# Idempotent: packages already present are left alone, and apt's index is only
# refreshed when something is missing.
set -euo pipefail

packages=(
    build-essential cmake ninja-build pkg-config git clang-format
    libcurl4-openssl-dev zlib1g-dev libexpat1-dev libcpp-httplib-dev libsodium-dev libssl-dev libdeflate-dev
    ca-certificates openssl
    libgtest-dev libgmock-dev libbenchmark-dev
    nginx curl
    # The fuzz targets of every parser of stored or downloaded bytes (scripts/fuzz.sh).
    clang libfuzzer-14-dev libclang-rt-14-dev
    # The launcher window: Qt Widgets and WebEngine (with the engine's helper process), and
    # a CJK font for the Chinese texts.
    qt6-base-dev qt6-webengine-dev libqt6webenginecore6-bin fonts-noto-cjk
)

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done

if [ ${#missing[@]} -gt 0 ]; then
    if [ "$(id -u)" -ne 0 ]; then
        echo "deps.sh: missing packages (${missing[*]}); run as root to install them" >&2
        exit 1
    fi
    echo "deps.sh: installing ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
