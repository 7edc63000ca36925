#!/usr/bin/env bash
# Makes sure the build tools are there: installs the Debian packages that are
# missing when run as root, otherwise names them and stops. Packages given as
# arguments are needed too (scripts/fuzz.sh adds clang and libFuzzer).
set -euo pipefail

# The C++ build and tests (with Random123 and Boost, header-only, for the
# class-count engine); the Python commands twolocus-stats and twolocus-plot
# and their tests; dpkg-dev for the Debian package's library dependencies;
# GNU parallel for twolocus-sweep; Sphinx and MyST for the documentation (the
# HTML and the man pages).
needed=(g++ cmake make libgtest-dev libbenchmark-dev librandom123-dev libboost-dev
        python3 python3-numpy python3-matplotlib python3-pytest dpkg-dev parallel
        python3-sphinx python3-myst-parser "$@")
missing=()
for package in "${needed[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
    missing+=("$package")
done
# As root, also the Slurm test cluster of the sweep tests (which need root),
# without recommended extras.
missing_slurm=()
if [ "$(id -u)" -eq 0 ]; then
  for package in slurmctld slurmd slurm-client munge; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
      missing_slurm+=("$package")
  done
fi
if [ ${#missing[@]} -gt 0 ] || [ ${#missing_slurm[@]} -gt 0 ]; then
  if [ "$(id -u)" -eq 0 ] && command -v apt-get >/dev/null; then
    echo "Installing the Debian packages ${missing[*]} ${missing_slurm[*]} with apt-get (this takes a minute or two)..."
    apt-get update -qq
    [ ${#missing[@]} -eq 0 ] ||
      DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
    [ ${#missing_slurm[@]} -eq 0 ] ||
      DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
        "${missing_slurm[@]}" >/dev/null
    echo "Installed."
  else
    echo "Please install these Debian packages first: ${missing[*]}"
    echo "  sudo apt-get install ${missing[*]}"
    exit 1
  fi
fi
