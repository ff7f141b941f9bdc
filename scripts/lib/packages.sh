# Sourced by scripts/test and scripts/demo: makes sure Debian packages are
# installed. As root the missing ones are installed with apt-get; otherwise
# the one command to run is printed and the function fails.
#
#   . scripts/lib/packages.sh
#   dexhand_require_packages cmake g++ ...

dexhand_require_packages() {
    local missing=() package
    for package in "$@"; do
        if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
            missing+=("$package")
        fi
    done
    if [ "${#missing[@]}" -eq 0 ]; then
        return 0
    fi
    if [ "$(id -u)" -eq 0 ]; then
        echo "== installing: ${missing[*]}"
        export DEBIAN_FRONTEND=noninteractive
        apt-get update -qq
        apt-get install -y -qq --no-install-recommends "${missing[@]}"
    else
        echo "Some packages are missing. Install them with:"
        echo "  sudo apt-get install -y ${missing[*]}"
        return 1
    fi
}
