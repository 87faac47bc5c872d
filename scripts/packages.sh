# Sourced by the set-up scripts: installs the Debian packages that are missing,
# running apt-get update at most once per script.

if [ "$(id -u)" -ne 0 ]; then sudo=sudo; else sudo=; fi
export DEBIAN_FRONTEND=noninteractive
updated=

apt_update() {
    if [ -z "$updated" ]; then $sudo apt-get update -q; updated=1; fi
}

install_missing() {
    missing=""
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" ||
            missing="$missing $p"
    done
    [ -n "$missing" ] || return 0
    apt_update
    # shellcheck disable=SC2086
    $sudo apt-get install -y -q --no-install-recommends $missing
}
