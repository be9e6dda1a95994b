# Installs the Debian packages a build needs when any of them is missing.
# Sourced by the scripts in this folder.

FOILCAD_PACKAGES=(cmake g++ make libgtest-dev libgmock-dev libcli11-dev libpng-dev qt6-base-dev xvfb xauth fonts-dejavu-core openbox imagemagick x11-utils gerbv gmsh)

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

# Configures and builds into the given folder with any extra CMake arguments.
build_foilcad() {
  local dir=$1
  shift
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release -DFOILCAD_BUILD_GUI=ON -DFOILCAD_BUILD_TESTS=ON "$@" >/dev/null
  cmake --build "$dir" -j"$(nproc)"
}
