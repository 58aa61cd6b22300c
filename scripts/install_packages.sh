#!/usr/bin/env bash
# Installs the Debian packages named as arguments that are missing, as root or
# through sudo. Sourced by the set-up and benchmark scripts.
install_packages() {
  local missing=() package
  for package in "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
      missing+=("$package")
  done
  ((${#missing[@]})) || return 0
  local sudo=()
  [ "$(id -u)" -eq 0 ] || sudo=(sudo)
  echo "Installing: ${missing[*]}"
  "${sudo[@]}" apt-get update -q
  # Through env, because sudo drops the caller's environment.
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive \
    apt-get install -y -q --no-install-recommends "${missing[@]}"
}

# What building the tool needs.
build_packages=(g++ cmake ninja-build libsqlite3-dev sqlite3 libzip-dev zip)
