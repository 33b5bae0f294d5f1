#!/usr/bin/env bash
# Cross-builds unitflash for 64-bit Windows with Debian's mingw-w64 compilers and runs the test
# suite under wine. The Windows builds of QtCore, libusb and GoogleTest come from Debian's source
# packages; they are built once into a cache outside the tree (UNITFLASH_WINDOWS_CACHE), keyed by
# their versions and build flags, so only the first run pays for them.
#
# It changes the machine, with sudo when not run as root, and prints each change as it makes it:
# - installs the Debian packages it needs that are missing (the mingw-w64 compilers, wine, ...);
# - switches the alternatives x86_64-w64-mingw32-gcc and -g++ to the posix thread model, which
#   Qt's and libusb's builds need (every program using these compiler names gets them);
# - adds deb-src entries to apt's sources (/etc/apt/sources.list.d/unitflash-deb-src.*) when
#   apt has none, to fetch the source packages.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
triple=x86_64-w64-mingw32
jobs=$(nproc)
cache=${UNITFLASH_WINDOWS_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/unitflash-windows}
build=$(realpath -m "${UNITFLASH_WINDOWS_BUILD:-build/windows}")
sudo_cmd=""
[ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"

qt_flags=(-opensource -confirm-license -release -static -static-runtime -platform linux-g++
          -xplatform win32-g++ -device-option "CROSS_COMPILE=$triple-" -nomake examples
          -nomake tests -no-gui -no-widgets -no-opengl -no-dbus -no-icu -no-ssl -system-zlib
          -qt-pcre -external-hostbindir /usr/lib/qt5/bin)
usb_flags=(--host="$triple" --enable-static --disable-shared --disable-examples-build
           --disable-tests-build)
gtest_flags=(-DCMAKE_BUILD_TYPE=Release -DBUILD_GMOCK=ON -Dgtest_disable_pthreads=OFF)

install_packages() {
    local packages=(g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix mingw-w64-x86-64-dev
                    libz-mingw-w64-dev wine wine64 dpkg-dev make perl python3 googletest
                    rapidjson-dev qtbase5-dev-tools qt5-qmake-bin) missing=() p
    for p in "${packages[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" ||
            missing+=("$p")
    done
    if [ ${#missing[@]} -gt 0 ]; then
        echo "Installing Debian packages: ${missing[*]}"
        $sudo_cmd apt-get update -qq
        DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq --no-install-recommends \
            "${missing[@]}" >/dev/null
    fi
    # Qt's and libusb's builds call the compilers by their plain names: the posix ones.
    local tool
    for tool in gcc g++; do
        [ "$(readlink -f "/usr/bin/$triple-$tool")" = "/usr/bin/$triple-$tool-posix" ] && continue
        echo "Switching the alternative $triple-$tool to /usr/bin/$triple-$tool-posix"
        $sudo_cmd update-alternatives --set "$triple-$tool" "/usr/bin/$triple-$tool-posix" \
            >/dev/null
    done
}

# apt-get source needs deb-src entries; add them beside Debian's binary ones when there are none.
enable_sources() {
    apt-get source --print-uris libusb-1.0 >/dev/null 2>&1 && return
    local list=/etc/apt/sources.list.d/debian.sources
    echo "Adding deb-src entries to apt's sources, beside its deb entries, in" \
        "/etc/apt/sources.list.d/unitflash-deb-src.*"
    if [ -f "$list" ]; then
        sed 's/^Types:.*/Types: deb-src/' "$list" |
            $sudo_cmd tee /etc/apt/sources.list.d/unitflash-deb-src.sources >/dev/null
    else
        grep -h '^deb ' /etc/apt/sources.list | sed 's/^deb /deb-src /' |
            $sudo_cmd tee /etc/apt/sources.list.d/unitflash-deb-src.list >/dev/null
    fi
    $sudo_cmd apt-get update -qq
}

# The .dsc file name of the source package apt would fetch: it carries the package's version.
source_dsc() {
    apt-get source --print-uris "$1" 2>/dev/null | grep -o "[^/']*\.dsc" | head -n1
}

# Runs a build step with its output in a log; on failure shows the log's tail and stops.
quiet() {
    local log=$1; shift
    if ! "$@" >>"$log" 2>&1; then
        echo "FAILED: $*" >&2
        tail -n 60 "$log" >&2
        exit 1
    fi
}

fetch_source() {
    local package=$1 dir=$2
    mkdir -p "$dir"
    (cd "$dir" && apt-get source -qq "$package" >/dev/null 2>&1)
    find "$dir" -mindepth 1 -maxdepth 1 -type d | head -n1
}

build_qt() {
    local prefix=$1 work=$2 log=$3 src version tool
    src=$(fetch_source qtbase-opensource-src "$work/qt")
    # Qt's host tools (qmake, moc, rcc) are Debian's own build of the same Qt version, instead
    # of a bootstrap build here: that saves a third of the time QtCore takes.
    version=${src##*-src-}
    version=${version%%+*}
    if [ "$(/usr/lib/qt5/bin/moc -v)" != "moc $version" ]; then
        echo "FAILED: Qt's host tools are not version $version: $(/usr/lib/qt5/bin/moc -v)" >&2
        exit 1
    fi
    mkdir -p "$work/qt/build"
    cd "$work/qt/build"
    MAKEFLAGS=-j$jobs quiet "$log" "$src/configure" -prefix "$prefix" "${qt_flags[@]}"
    # Only what unitflash links: QtCore with its bundled PCRE2.
    quiet "$log" make sub-src-qmake_all
    quiet "$log" make -j"$jobs" -C src/3rdparty/pcre2 install
    quiet "$log" make -j"$jobs" -C src/corelib install
    quiet "$log" make sub-qmake-qmake-aux-pro-install_subtargets install_mkspecs
    for tool in moc rcc; do
        cp /usr/lib/qt5/bin/$tool "$prefix/bin/"
    done
    cd "$root"
}

build_libusb() {
    local prefix=$1 work=$2 log=$3 src
    src=$(fetch_source libusb-1.0 "$work/usb")
    cd "$src"
    quiet "$log" ./configure --prefix="$prefix" "${usb_flags[@]}"
    quiet "$log" make -j"$jobs" -C libusb install
    quiet "$log" make install-pkgconfigDATA
    cd "$root"
}

build_gtest() {
    local prefix=$1 work=$2 log=$3
    quiet "$log" cmake -S /usr/src/googletest -B "$work/gtest" -G Ninja \
        -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" -DCMAKE_INSTALL_PREFIX="$prefix" \
        "${gtest_flags[@]}"
    quiet "$log" ninja -C "$work/gtest" -j"$jobs" install
}

# Prints the prefix holding the Windows dependencies, building them first when the cache has none
# for these versions and flags.
dependencies() {
    local key prefix work log
    key=$( {
        source_dsc qtbase-opensource-src
        source_dsc libusb-1.0
        dpkg-query -W googletest g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev libz-mingw-w64-dev \
            qtbase5-dev-tools qt5-qmake-bin
        echo "${qt_flags[*]} | ${usb_flags[*]} | ${gtest_flags[*]}"
        cat "$root/cmake/mingw-w64.cmake"
    } | sha256sum | cut -c1-16)
    prefix=$cache/$key
    if [ -f "$prefix/.complete" ]; then
        echo "$prefix"
        return
    fi
    work=$cache/work-$key
    log=$cache/build-$key.log
    rm -rf "$work" "$prefix"
    mkdir -p "$work"
    : >"$log"
    echo "=== windows: building QtCore, libusb and GoogleTest once into $prefix (log: $log)" >&2
    local start=$SECONDS
    build_libusb "$prefix" "$work" "$log" >&2
    build_gtest "$prefix" "$work" "$log" >&2
    build_qt "$prefix" "$work" "$log" >&2
    rm -rf "$work"
    touch "$prefix/.complete"
    echo "=== windows: dependencies built in $((SECONDS - start)) s" >&2
    echo "$prefix"
}

# A wine prefix of our own, made once, with wine's crash debugger off: a test that crashes fails
# at once instead of waiting for a debugger.
wine_prefix() {
    export WINEPREFIX=$cache/wine-$(dpkg-query -W -f='${Version}' wine | tr -c 'A-Za-z0-9.\n' _)
    export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" DISPLAY=
    [ -f "$WINEPREFIX/.complete" ] && return
    rm -rf "$WINEPREFIX"
    local log=$cache/wine.log aedebug='HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug'
    : >"$log"
    quiet "$log" wineboot --init
    quiet "$log" wine reg add "$aedebug" /v Debugger /t REG_SZ /d "" /f
    quiet "$log" wine reg add "$aedebug" /v Auto /t REG_SZ /d 0 /f
    quiet "$log" wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f
    quiet "$log" wineserver -w
    touch "$WINEPREFIX/.complete"
}

install_packages
enable_sources
prefix=$(dependencies)
wine_prefix
# One wine server for the whole build and test run, ended with it.
wineserver -p 2>/dev/null || true  # or the one already running
trap 'wineserver -k 2>/dev/null || true' EXIT
# Wine's own services start with the first program and keep its output open: started here, they
# hold /dev/null instead of a build step's pipe, which ninja would wait on for ever.
wine cmd.exe /c exit </dev/null >/dev/null 2>&1

echo "=== $build: configure and build (x86_64-w64-mingw32)"
export PKG_CONFIG_LIBDIR=$prefix/lib/pkgconfig
# RapidJSON is header-only: its Debian headers, alone in a directory, since the build machine's
# /usr/include must stay out of a Windows build.
mkdir -p "$build/include"
ln -sfn /usr/include/rapidjson "$build/include/rapidjson"
launcher=()
if command -v ccache >/dev/null; then
    launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
fi
cmake -S . -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" \
    "${launcher[@]}" -DUNITFLASH_WINDOWS_PREFIX="$prefix" -DCMAKE_BUILD_TYPE=Release -DUNITFLASH_BENCH=OFF \
    -DZLIB_LIBRARY=/usr/$triple/lib/libz.a -DZLIB_INCLUDE_DIR=/usr/$triple/include \
    -DRAPIDJSON_INCLUDE_DIR="$build/include" >/dev/null
# The exact sources of the libraries linked in, for the zip: their licenses ask that the user
# can get them (THIRD-PARTY-NOTICES.md).
{ source_dsc qtbase-opensource-src; source_dsc libusb-1.0; } >"$build/SOURCES.txt"
ninja -C "$build"
echo "=== $build: the zip"
(cd "$build" && cpack -G ZIP | tail -n1)
echo "=== $build: tests under wine"
# Wine has once been seen failing to start a test program (no output, 0.01 s); a second try
# tells that apart from a failing test, which the Linux runs of the same tests also catch.
(cd "$build" && ctest --output-on-failure --timeout 300 -j "$jobs" --repeat until-pass:2)
