# Shared by scripts/run and scripts/test: package installation and the CMake build.
# shellcheck shell=bash

QUILVANT_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

log() { printf '[quilvant] %s\n' "$*" >&2; }

# Prints the packages of the given groups of scripts/packages.txt, one per line.
packages_of() {
    local wanted=" $* "
    awk -v wanted="$wanted" '
        /^[[:space:]]*(#|$)/ { next }
        /^\[/ { group = substr($0, 2, length($0) - 2); next }
        index(wanted, " " group " ") { print $1 }
    ' "$QUILVANT_ROOT/scripts/packages.txt"
}

as_root() {
    if [ "$(id -u)" -eq 0 ]; then
        "$@"
    elif command -v sudo >/dev/null 2>&1; then
        sudo "$@"
    else
        log "need root or sudo to run: $*"
        return 1
    fi
}

# Installs whatever is missing from the given groups; does nothing (not even apt-get update) when all is there.
install_missing() {
    local missing=() pkg
    while read -r pkg; do
        if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q '^install ok installed$'; then
            missing+=("$pkg")
        fi
    done < <(packages_of "$@")
    if [ ${#missing[@]} -eq 0 ]; then
        return 0
    fi
    log "installing ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    as_root apt-get update -q
    as_root apt-get install -y -q --no-install-recommends "${missing[@]}"
}

# configure_and_build BUILD_DIR [cmake options...]
configure_and_build() {
    local dir=$1
    shift
    local jobs
    jobs=$(nproc 2>/dev/null || echo 2)
    if [ ! -f "$dir/CMakeCache.txt" ]; then
        cmake -S "$QUILVANT_ROOT" -B "$dir" -G Ninja "$@"
    else
        cmake "$dir" "$@" >/dev/null
    fi
    cmake --build "$dir" --parallel "$jobs"
}
