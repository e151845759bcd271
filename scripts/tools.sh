# The tools that the scripts and tests call, each with the Debian package that
# scripts/install-deps.sh installs for it. Sourced by the scripts.
#
# PATH is set to the system's own: the scripts use only what the Debian
# packages install, never something a user added elsewhere. A tool that its
# package puts outside PATH is named by its full path, and callers use that
# path. Tools of Debian's essential packages (bash, coreutils, grep, sed,
# findutils, diffutils, dpkg, apt) are on every machine and are not listed.

export PATH=/usr/sbin:/usr/bin:/sbin:/bin

wine64=/usr/lib/wine/wine64
# The 32-bit loader; in a prefix made by wine64 it runs 32-bit programs in
# WoW64 mode, as 64-bit Windows runs a 32-bit game. One server serves both.
wine32=/usr/lib/wine/wine
wineserver=/usr/lib/wine/wineserver

# tool                         package
tools_table="
cmake                          cmake
ctest                          cmake
ninja                          ninja-build
pkg-config                     pkg-config
git                            git
g++                            build-essential
clang++                        clang
clang-format                   clang-format
clang-tidy                     clang-tidy
cppcheck                       cppcheck
i686-w64-mingw32-g++-win32     g++-mingw-w64-i686
i686-w64-mingw32-objdump       g++-mingw-w64-i686
i686-w64-mingw32-strip         g++-mingw-w64-i686
x86_64-w64-mingw32-g++-win32   g++-mingw-w64-x86-64
x86_64-w64-mingw32-objdump     g++-mingw-w64-x86-64
$wine64                        wine64
$wine32                        wine32:i386
$wineserver                    wine64
zip                            zip
unzip                          unzip
awk                            mawk
python3                        python3
qemu-system-x86_64             qemu-system-x86
/bin/busybox                   busybox-static
cpio                           cpio
depmod                         kmod
udevadm                        udev
setfacl                        acl
setpriv                        util-linux
"

# The packages of the table, once each.
tools_packages() {
    local tool package
    while read -r tool package; do
        [ -n "$tool" ] || continue
        echo "$package"
    done <<<"$tools_table" | sort -u
}

# Prints one line per tool that does not resolve, naming its package; fails if any.
tools_check() {
    local tool package status=0
    while read -r tool package; do
        [ -n "$tool" ] || continue
        if ! command -v "$tool" >/dev/null 2>&1; then
            echo "missing tool $tool (Debian package $package)" >&2
            status=1
        fi
    done <<<"$tools_table"
    return "$status"
}
