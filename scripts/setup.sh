#!/usr/bin/env bash
# Makes sure the build tools are there: installs the Debian packages that are
# missing when run as root, otherwise names them and stops. Packages given as
# arguments are needed too (scripts/fuzz.sh adds clang and libFuzzer).
# --slurm-test-cluster (scripts/test.sh, as root only) also installs the
# Slurm daemons and munge of the sweep tests' throw-away cluster; nothing
# else installs them, so the example and users never get those services.
set -euo pipefail

slurm_test_cluster=no
if [ "${1:-}" = --slurm-test-cluster ]; then
  slurm_test_cluster=yes
  shift
fi
# The C++ build and tests (with Random123 and Boost, header-only, for the
# class-count engine); the Python commands twolocus-stats and twolocus-plot
# and their tests; for the Debian package (cpack -G DEB) dpkg-dev
# (dpkg-shlibdeps) and file (which CPack runs on every file it packs); GNU
# parallel for twolocus-sweep; SciPy for the chi-square tests of
# verification/; Sphinx and MyST for the documentation (the HTML and the man
# pages); pybind11 and the Python headers for the compiled module twolocus._core;
# yaml-cpp for reading Demes files (demographic histories).
needed=(g++ cmake make libgtest-dev libbenchmark-dev librandom123-dev libboost-dev libyaml-cpp-dev
        python3 python3-numpy python3-matplotlib python3-pytest python3-scipy dpkg-dev file
        parallel python3-sphinx python3-myst-parser pybind11-dev python3-pybind11 python3-dev "$@")
missing=()
for package in "${needed[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
    missing+=("$package")
done
# The Slurm test cluster (its tests need root), without recommended extras.
missing_slurm=()
if [ "$slurm_test_cluster" = yes ] && [ "$(id -u)" -eq 0 ]; then
  for package in slurmctld slurmd slurm-client munge; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
      missing_slurm+=("$package")
  done
fi
if [ ${#missing[@]} -gt 0 ] || [ ${#missing_slurm[@]} -gt 0 ]; then
  if [ "$(id -u)" -eq 0 ] && command -v apt-get >/dev/null; then
    echo "Installing the Debian packages ${missing[*]} ${missing_slurm[*]} with apt-get (on a fresh system this takes several minutes)..."
    apt-get update -qq
    [ ${#missing[@]} -eq 0 ] ||
      DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
    [ ${#missing_slurm[@]} -eq 0 ] ||
      DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
        "${missing_slurm[@]}" >/dev/null
    echo "Installed."
  else
    # sudo may not exist on a fresh system: then run apt-get as root.
    echo "Please install these Debian packages first: ${missing[*]}"
    echo "  sudo apt-get install ${missing[*]}    (as root: apt-get install ${missing[*]})"
    exit 1
  fi
fi
