# Sourced by the top-level scripts. ensure_packages installs the Debian
# packages that dpkg does not report as installed, and nothing else.
ensure_packages() {
  local missing=()
  local p
  for p in "$@"; do
    dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing: ${missing[*]}"
  local sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

# What building and testing the project needs.
BUILD_PACKAGES=(build-essential cmake ninja-build pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  libicu-dev liblz4-dev lz4 uuid-dev qt6-base-dev iproute2 util-linux python3 libsqlite3-dev
  ccache)
