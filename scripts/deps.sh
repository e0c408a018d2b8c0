# Sourced by the set-up and test commands: installs the build dependencies that are missing.
TF_PACKAGES=(cmake g++ pkg-config libusb-1.0-0-dev libczmq-dev libzmq3-dev libhidapi-dev
             libcurl4-openssl-dev zlib1g-dev libgtest-dev python3 openssl iproute2)

# tf_install_deps [extra packages...]
tf_install_deps() {
    local missing=() pkg
    for pkg in "${TF_PACKAGES[@]}" "$@"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" ||
            missing+=("$pkg")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing missing packages: ${missing[*]}"
    local sudo=()
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    export DEBIAN_FRONTEND=noninteractive
    "${sudo[@]}" apt-get update -q
    "${sudo[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
}

tf_jobs() { nproc 2>/dev/null || echo 4; }
