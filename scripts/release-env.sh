# shellcheck shell=bash
# Sourced by every script that builds release packages (release.sh, package.sh and the Wine lane's
# tests/e2e/wine-setup.sh): what makes two builds of one commit give the same bytes.
# SOURCE_DATE_EPOCH, the last commit's time unless it is set, is what Debian's MinGW linker writes as
# the PE time stamp and CPack as every time in the packages. CPack's DEB generator gives the folders
# of the package and the members of the .deb the modes they have on disk, which the umask decides
# (mkdir applies it even to modes CMake asks for).
if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
    _repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
    _time=$(git -C "$_repo" log -1 --format=%ct 2>&1) || true
    if ! [[ $_time =~ ^[0-9]+$ ]]; then
        # Without it every time in the packages would be empty, and tar would fail much later.
        echo "release-env.sh: git cannot read the last commit's time in $_repo:" >&2
        sed 's/^/  /' <<<"$_time" >&2
        case $_time in
        *"dubious ownership"*)
            echo "The repository belongs to another user, so git refuses it. If you trust it:" \
                "git config --global --add safe.directory $_repo; or set SOURCE_DATE_EPOCH." >&2 ;;
        *)
            echo "Build from a git clone of the commit, or set SOURCE_DATE_EPOCH to the commit's time" \
                "(seconds since 1970, git log -1 --format=%ct)." >&2 ;;
        esac
        return 1
    fi
    SOURCE_DATE_EPOCH=$_time
fi
export SOURCE_DATE_EPOCH
unset _repo _time
umask 0022
