#!/usr/bin/env bash
# build-debs.sh OUTPUT_DIR: builds the Debian packages (debian/) from a copy of this source tree
# unpacked in OUTPUT_DIR, with `dpkg-buildpackage -us -uc -b`, and has lintian judge them: any
# error or warning fails. dpkg-buildpackage writes the packages into the parent of the tree it
# builds, so they land in OUTPUT_DIR, never beside the checkout.
#
# The copy holds the files git knows (tracked ones and new ones it does not ignore) as they are in
# the working tree, so uncommitted work is what gets packaged; outside a git checkout, every file
# but build/ and .git/. A copy identical to the last one that was built and passed lintian is not
# built again (OUTPUT_DIR/passed holds its hash): the test command and the deployment test both
# call this.
set -euo pipefail

fail() {
    echo "build-debs: FAILED: $*" >&2
    exit 1
}

[ "$#" -eq 1 ] || fail "usage: build-debs.sh OUTPUT_DIR"
project=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
mkdir -p "$1" || fail "cannot make $1"
out=$(cd "$1" && pwd)

for tool in dpkg-buildpackage dpkg-parsechangelog dpkg-architecture lintian; do
    command -v "$tool" >/dev/null || fail "$tool is not installed (run ./bootstrap.sh)"
done

# A native package has one version: the project's.
version=$(dpkg-parsechangelog -l "$project/debian/changelog" -S Version)
project_version=$(sed -n 's/^project(corvana_helper VERSION \([0-9.]*\).*/\1/p' \
    "$project/CMakeLists.txt")
[ "$version" = "$project_version" ] ||
    fail "debian/changelog is at $version, CMakeLists.txt at $project_version"

# The copy, as a tar stream that names its files in order and carries no dates or owners, so the
# same tree gives the same hash.
tarball=$out/source.tar
pack=(tar --sort=name --mtime=@0 --owner=0 --group=0 --numeric-owner -cf "$tarball")
if git -C "$project" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    (
        cd "$project"
        git ls-files -z --cached --others --exclude-standard |
            while IFS= read -r -d '' file; do
                # A tracked file deleted in the working tree is not part of it.
                if [ -e "$file" ] || [ -L "$file" ]; then printf '%s\0' "$file"; fi
            done |
            "${pack[@]}" --null --no-recursion -T -
    ) || fail "cannot copy the source tree"
else
    "${pack[@]}" -C "$project" --exclude=./build --exclude=./.git . ||
        fail "cannot copy the source tree"
fi
hash=$(sha256sum "$tarball" | cut -d' ' -f1)
arch=$(dpkg-architecture -qDEB_HOST_ARCH)
changes=$out/corvana-helper_${version}_$arch.changes
if [ -f "$changes" ] && [ "$(cat "$out/passed" 2>/dev/null)" = "$hash" ]; then
    rm -f "$tarball"
    echo "build-debs: the packages of this tree are built and passed lintian already ($out)"
    exit 0
fi

rm -rf "$out/passed" "$out"/*.deb "$out"/*.changes "$out"/*.buildinfo "$out"/corvana-helper-*/
source=$out/corvana-helper-$version
# The files get the time of unpacking: the copy's fixed date would pass for 1970 in the packages.
mkdir "$source" && tar -xmf "$tarball" -C "$source" && rm -f "$tarball" ||
    fail "cannot unpack the source tree in $source"

echo "build-debs: building the packages in $source (log: $out/build.log)"
export DEB_BUILD_OPTIONS="${DEB_BUILD_OPTIONS:-parallel=$(nproc)}"
if ! (cd "$source" && dpkg-buildpackage -us -uc -b) >"$out/build.log" 2>&1; then
    tail -n 30 "$out/build.log" >&2
    fail "dpkg-buildpackage failed (the end of its log above; all of it in $out/build.log)"
fi
[ -f "$changes" ] || fail "dpkg-buildpackage wrote no $changes"
ls -1 "$out"/*.deb

echo "build-debs: lintian $(basename "$changes")"
lintian --fail-on error,warning "$changes" || fail "lintian reports errors or warnings (above)"

# The built tree is large and serves nothing now; a failed build keeps it for a look.
rm -rf "$source"
echo "$hash" >"$out/passed"
echo "build-debs: the packages are built and lintian is content"
