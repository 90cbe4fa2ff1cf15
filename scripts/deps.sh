# Installs what building, testing and the demo need, where it is missing.
# Debian 12; run as root (or with sudo at hand). Extra packages may be named.
quorvane_deps() {
    local missing=()
    local package
    for package in cmake g++ make binutils-mingw-w64-x86-64 e2fsprogs util-linux rsync time python3 python3-fusepy fuse3 \
            strace exfatprogs exfat-fuse "$@"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'ok installed' || missing+=("$package")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    local sudo=
    [ "$(id -u)" -eq 0 ] || sudo=sudo
    echo "Installing ${missing[*]} ..."
    $sudo apt-get update -q >/dev/null &&
        DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${missing[@]}" >/dev/null
}
