#!/bin/sh
# Makes the three Debian packages of a built tree, one per install component:
#   scripts/make-debs.sh BUILD_DIR OUT_DIR
# Each component is installed under /usr into a staging folder, stripped as
# Debian strips, given its copyright and changelog.Debian.gz, and packed by
# dpkg-deb with the control file that dpkg-gencontrol makes of
# dist/deb/control, with the dependencies dpkg-shlibdeps finds.
set -e
SOURCE=$(cd "$(dirname "$0")/.." && pwd)
BUILD=$(cd "${1:?build folder}" && pwd)
mkdir -p "${2:?output folder}"
OUT=$(cd "$2" && pwd)
CMAKE=${CMAKE:-cmake}
# The runtime first: the others' dependencies on it are found in its stage.
PACKAGES="libnetlane0 libnetlane-dev yammerlane"
LIBDIR=usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)

# The version is the project's; the changelog must name it.
project=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$BUILD/CMakeCache.txt")
logged=$(dpkg-parsechangelog -l "$SOURCE/dist/deb/changelog" -S Version)
if [ "${logged%-*}" != "$project" ]; then
  echo "dist/deb/changelog names $logged, the project is $project: add an entry" >&2
  exit 1
fi

# dpkg-shlibdeps and dpkg-gencontrol work in a folder with debian/control.
WORK="$OUT/deb-stage"
rm -rf "$WORK"
mkdir -p "$WORK/debian"
cp "$SOURCE/dist/deb/control" "$SOURCE/dist/deb/changelog" "$WORK/debian/"
cd "$WORK"

for pkg in $PACKAGES; do
  stage="$WORK/debian/$pkg"
  DESTDIR="$stage" "$CMAKE" --install "$BUILD" --prefix /usr --component "$pkg" >/dev/null
  # What dh_strip does: no debug information, comments or notes.
  find "$stage" -type f | while read -r f; do
    case $(file -b "$f") in
      *"current ar archive"*)
        strip --strip-debug --remove-section=.comment --remove-section=.note \
              --enable-deterministic-archives "$f" ;;
      *ELF*"shared object"*)
        case $f in *.so*) opts=--strip-unneeded ;; *) opts= ;; esac
        strip --remove-section=.comment --remove-section=.note $opts "$f"
        chmod 0644 "$f" ;;
      *ELF*) strip --remove-section=.comment --remove-section=.note "$f" ;;
    esac
  done
  doc="$stage/usr/share/doc/$pkg"
  mkdir -p "$doc"
  install -m 0644 "$SOURCE/dist/deb/copyright" "$doc/copyright"
  gzip -9nc "$SOURCE/dist/deb/changelog" > "$doc/changelog.Debian.gz"
  # The package's copyright names both licences.
  rm -f "$doc/LICENSE" "$doc/FONT-LICENSE"

  mkdir -p "$stage/DEBIAN"
  : > "debian/$pkg.substvars"
  elves=$(find "$stage" -type f \( -perm -u+x -o -name '*.so.*' \) -exec sh -c \
          'file -b "$1" | grep -q ELF && echo "$1"' _ {} \;)
  if [ -n "$elves" ]; then
    # The runtime's own library is found in its stage, not in the system.
    dpkg-shlibdeps -T"debian/$pkg.substvars" -l"$WORK/debian/libnetlane0/$LIBDIR" \
      -S"$WORK/debian/libnetlane0" $elves
  fi
  if [ "$pkg" = libnetlane0 ]; then
    soname=$(objdump -p "$stage/$LIBDIR"/libnetlane.so.*.* | sed -n 's/^ *SONAME *//p' | head -1)
    version=$(dpkg-parsechangelog -S Version)
    echo "${soname%.so.*} ${soname##*.so.} libnetlane0 (>= ${version%-*})" > "$stage/DEBIAN/shlibs"
    # The loader's cache is renewed by dpkg's trigger, not by scripts.
    echo "activate-noawait ldconfig" > "$stage/DEBIAN/triggers"
    chmod 0644 "$stage/DEBIAN/shlibs" "$stage/DEBIAN/triggers"
  fi
  (cd "$stage" && find . -path ./DEBIAN -prune -o -type f -printf '%P\0' | sort -z |
     xargs -0r md5sum > DEBIAN/md5sums)
  chmod 0644 "$stage/DEBIAN/md5sums"
  dpkg-gencontrol -p"$pkg" -P"$stage" -T"debian/$pkg.substvars" -fdebian/files
  find "$stage" -type d -exec chmod 0755 {} +
  dpkg-deb --root-owner-group -Zxz --build "$stage" "$OUT" >/dev/null
done
ls "$OUT"/*.deb
