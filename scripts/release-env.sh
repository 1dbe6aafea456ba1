# Sourced by every script that builds release packages (release.sh, package.sh and the Wine lane's
# tests/e2e/wine-setup.sh): what makes two builds of one commit give the same bytes.
# SOURCE_DATE_EPOCH, the last commit's time unless it is set, is what Debian's MinGW linker writes as
# the PE time stamp and CPack as every time in the packages. CPack's DEB generator gives the folders
# of the package and the members of the .deb the modes they have on disk, which the umask decides
# (mkdir applies it even to modes CMake asks for).
export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git -C "$(dirname "${BASH_SOURCE[0]}")" log -1 --format=%ct)}
umask 0022
