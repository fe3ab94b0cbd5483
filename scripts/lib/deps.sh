# Installs the Debian packages the project needs when any is missing.
# Sourced by the project's scripts.

TESK_PACKAGES=(
  g++ cmake ninja-build pkg-config
  libsqlite3-dev sqlite3 libzstd-dev
  libtomlplusplus-dev libcli11-dev nlohmann-json3-dev nettle-dev
  libgtest-dev libgmock-dev
  libgmime-3.0-dev libcurl4-gnutls-dev libgnutls28-dev zlib1g-dev python3-aiosmtpd dovecot-imapd dovecot-core time
  isync openssl notmuch mblaze strace
  qt6-base-dev
  fonts-liberation2
  libpff-dev libbfio-dev pff-tools
  scdoc dpkg-dev lintian mmdebstrap zstd man-db desktop-file-utils systemd zsh
)

ensure_packages() {
  local missing=()
  local p
  for p in "${TESK_PACKAGES[@]}" "$@"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
      missing+=("$p")
    fi
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing: ${missing[*]}" >&2
  local sudo=()
  if [ "$(id -u)" -ne 0 ]; then
    if command -v sudo >/dev/null 2>&1; then sudo=(sudo); else
      echo "Missing packages ${missing[*]}; run this script as root or install them." >&2
      return 1
    fi
  fi
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

# Configures and builds one build tree: build_tree DIR [cmake options...]
build_tree() {
  local dir=$1
  shift
  cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
  cmake --build "$dir"
}
