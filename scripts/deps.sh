# Installs what the build and the suite need, quietly and only what is missing. Sourced by the
# project's scripts; needs root (or sudo) only when something is missing.
px_packages=(cmake ninja-build g++ pkg-config qt6-base-dev fonts-wqy-microhei libgtest-dev
  libgmock-dev libbenchmark-dev libmodbus-dev libserialport-dev)

px_install_deps() {
    local extra=("$@") missing=() pkg
    for pkg in "${px_packages[@]}" "${extra[@]}"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'ok installed' || missing+=("$pkg")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing: ${missing[*]}"
    local sudo=()
    [ "$(id -u)" -ne 0 ] && sudo=(sudo)
    export DEBIAN_FRONTEND=noninteractive
    "${sudo[@]}" apt-get update -qq -o DPkg::Lock::Timeout=600 >/dev/null
    "${sudo[@]}" apt-get install -y -qq --no-install-recommends -o DPkg::Lock::Timeout=600 \
        "${missing[@]}" >/dev/null
}

# Qt and the library's own folders are pointed at private places, so a run never touches the
# user's port map, registry store or runtime folder.
px_private_env() {
    local root=$1
    mkdir -p "$root/runtime" "$root/ports" "$root/registry"
    chmod 700 "$root/runtime"
    export XDG_RUNTIME_DIR="$root/runtime"
    export LXCOMM_PORT_DIR="${LXCOMM_PORT_DIR:-$root/ports}"
    export LXCOMM_REGISTRY_DIR="${LXCOMM_REGISTRY_DIR:-$root/registry}"
    [ -n "${DISPLAY:-}" ] || export QT_QPA_PLATFORM="${QT_QPA_PLATFORM:-offscreen}"
}
