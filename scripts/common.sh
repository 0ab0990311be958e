# Shared by scripts/run.sh and scripts/test.sh: packages, builds, Xvfb. Sourced, not run.

QV_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# Nothing is taken from the caller's environment: Wine maps Windows file names to Unix ones
# through the locale's character set, and the POSIX locale cannot hold non-ASCII names. C.UTF-8
# is built into glibc. HOME is only needed by tools that keep per-user state.
export LC_ALL=C.UTF-8
export LANG=C.UTF-8
unset LANGUAGE
if [ -z "${HOME:-}" ]; then
    HOME="$QV_ROOT/build/home"
    mkdir -p "$HOME"
fi
export HOME
QV_PACKAGES="g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine wine64 xvfb cmake make googletest imagemagick xdotool g++ pkg-config libcpp-httplib-dev libsqlite3-dev curl python3 cabextract gcab libssl-dev openssl postgresql libpq-dev chromium wrk x11-utils wixl msitools clang-14 libclang-rt-14-dev wine32:i386"
QV_STARTED_XVFB=

# Installs whatever of QV_PACKAGES is missing, with sudo when not root. wine32:i386 (the shipped
# 32-bit build runs under WoW64 in the tests) needs the i386 architecture, which is added first
# when dpkg does not have it yet; apt-get update then fetches its package lists.
qv_install_deps() {
    local missing="" p
    for p in $QV_PACKAGES; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
    done
    [ -z "$missing" ] && return 0
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    if ! dpkg --print-foreign-architectures | grep -qx i386; then
        echo "Adding the i386 architecture"
        $sudo dpkg --add-architecture i386
    fi
    echo "Installing:$missing"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends $missing
}

# qv_build ARCH [TARGET...]: configures build/ARCH with the MinGW-w64 toolchain and builds.
qv_build() {
    local arch=$1
    shift
    local dir="$QV_ROOT/build/$arch"
    # QV_UPDATE_PUBLIC_KEY in the environment: the publisher key the build trusts for updates.
    cmake -S "$QV_ROOT" -B "$dir" -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_TOOLCHAIN_FILE="$QV_ROOT/cmake/toolchain-mingw-$arch.cmake" \
        ${QV_UPDATE_PUBLIC_KEY:+-DQV_UPDATE_PUBLIC_KEY="$QV_UPDATE_PUBLIC_KEY"} >/dev/null
    if [ $# -gt 0 ]; then
        cmake --build "$dir" -j"$(nproc)" --target "$@"
    else
        cmake --build "$dir" -j"$(nproc)"
    fi
}

# Builds the vendor's service natively (host compiler) in build/service.
qv_build_service() {
    local dir="$QV_ROOT/build/service"
    cmake -S "$QV_ROOT/service" -B "$dir" -DCMAKE_BUILD_TYPE=Release >/dev/null
    cmake --build "$dir" -j"$(nproc)"
}

# Starts Xvfb on a free display when there is no display; qv_stop_xvfb stops it again.
qv_start_xvfb() {
    [ -n "${DISPLAY:-}" ] && return 0
    local n=90
    while [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ]; do n=$((n + 1)); done
    Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
    QV_STARTED_XVFB=$!
    local i
    for i in $(seq 1 100); do
        [ -e "/tmp/.X11-unix/X$n" ] && break
        sleep 0.1
    done
    export DISPLAY=":$n"
}

qv_stop_xvfb() {
    if [ -n "$QV_STARTED_XVFB" ]; then
        kill "$QV_STARTED_XVFB" 2>/dev/null || true
        wait "$QV_STARTED_XVFB" 2>/dev/null || true
        QV_STARTED_XVFB=
    fi
}
