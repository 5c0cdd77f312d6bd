#!/bin/sh
# Installs the Debian packages the build, the tests (Slurm and munge for the ensemble test) and
# the pictures need, when missing.
set -e
PACKAGES="build-essential cmake pkg-config libnetcdf-dev netcdf-bin libtomlplusplus-dev libgdal-dev gdal-bin libgtest-dev libgmock-dev libbenchmark-dev python3-matplotlib python3-netcdf4 python3-numpy slurmctld slurmd slurm-client munge"
missing=""
for p in $PACKAGES; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
[ -z "$missing" ] && exit 0
if [ "$(id -u)" -ne 0 ]; then
  echo "missing Debian packages:$missing (run as root, or install them with apt-get)" >&2
  exit 1
fi
echo "installing:$missing"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends $missing >/dev/null
