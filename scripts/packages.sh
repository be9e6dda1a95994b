# Installs the Debian packages a build needs when any of them is missing.
# Sourced by the scripts in this folder.

FOILCAD_PACKAGES=(cmake g++ make clang-format dpkg-dev file groff-base desktop-file-utils libgtest-dev libgmock-dev libcli11-dev libpng-dev nlohmann-json3-dev qt6-base-dev xvfb xauth fonts-dejavu-core openbox imagemagick x11-utils gerbv gmsh libpolyclipping-dev libcgal-dev pkg-config)

ensure_packages() {
  local missing=() pkg
  for pkg in "$@"; do
    if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed"; then
      missing+=("$pkg")
    fi
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing: ${missing[*]}" >&2
  local sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
}

# Configures the given folder with any extra CMake arguments.
configure_foilcad() {
  local dir=$1
  shift
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release -DFOILCAD_BUILD_GUI=ON -DFOILCAD_BUILD_TESTS=ON "$@" >/dev/null
}

# Configures and builds everything into the given folder.
build_foilcad() {
  configure_foilcad "$@"
  cmake --build "$1" -j"$(nproc)"
}

# Packs a built folder (GUI included) into build/foilcad_VERSION_ARCH.deb
# with CPack and shows the package's fields and files. The dependencies come
# from dpkg-shlibdeps; a package without them (dpkg-dev or file missing, for
# which CPack only warns) is refused.
package_foilcad() {
  local dir=$1
  rm -f "$dir"/foilcad_*.deb
  (cd "$dir" && cpack -G DEB >/dev/null)
  local debs=("$dir"/foilcad_*.deb)
  local deb=${debs[0]}
  dpkg-deb --info "$deb"
  dpkg-deb --contents "$deb"
  local depends
  depends=$(dpkg-deb --field "$deb" Depends)
  if [[ $depends != *libqt6widgets6* || $depends != *libpng16-16* ]]; then
    echo "$deb: the computed dependencies are missing: Depends: $depends" >&2
    return 1
  fi
  echo "$deb"
}
