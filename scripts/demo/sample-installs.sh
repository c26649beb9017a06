#!/usr/bin/env bash
# Records two sample product installations in a registry store, as their setup programs would:
#   one under  Software\Quorvanti\Z5\<GA level>\<type>\<identifier>
#   one under  Software\Quorvanti\Z5_Common\<type>
# Their installation folders are created under INSTALLS_DIR.
#
#   scripts/demo/sample-installs.sh ROOT_DIR INSTALLS_DIR
#
# ROOT_DIR is the store's folder (what QVYLD_REGISTRY_ROOT names for the daemon). The tool is
# $VLREG, or build/default/bin/vlreg of this checkout.
#
# With PRODUCT_BIN naming the folder of the simulated product's programs (the build's bin
# folder), each installation also gets them, as a product installs them on Linux: the start
# tool and the environment tools in <osds>/code/bin, each registered application as a copy
# of the simulated application, the reference environment file VRKEnv/Env.txt, and the
# uninstall script Uninstall.sh at the root (tests/fixtures/product/Uninstall.sh).
set -euo pipefail

if [ $# -ne 2 ]; then
  echo "usage: $0 ROOT_DIR INSTALLS_DIR" >&2
  exit 1
fi
root=$1
installs=$2
here=$(cd "$(dirname "$0")/../.." && pwd)
vlreg=${VLREG:-$here/build/default/bin/vlreg}
if [ ! -x "$vlreg" ]; then
  echo "sample-installs: no vlreg at $vlreg (build it, or set VLREG)" >&2
  exit 1
fi

mkdir -p "$root" "$installs"
installs=$(cd "$installs" && pwd)

reg() { "$vlreg" "$@" --root "$root" >/dev/null; }

# add_install KEY FOLDER NAME=VALUE...: the installation key, its values and its folder.
add_install() {
  local key=$1 folder=$2
  shift 2
  mkdir -p "$folder/linux_a64/code/bin"
  reg add "$key" /v Path /d "$folder" /reg:64
  local pair
  for pair in "$@"; do
    reg add "$key" /v "${pair%%=*}" /d "${pair#*=}" /reg:64
  done
}

# add_product FOLDER APP...: the simulated product's programs in the installation.
add_product() {
  local folder=$1 bin=$1/linux_a64/code/bin
  shift
  [ -n "${PRODUCT_BIN:-}" ] || return 0
  cp "$PRODUCT_BIN/vl_product_vrkstart" "$bin/VRKSTART"
  cp "$PRODUCT_BIN/vl_product_setvrkenv" "$bin/setvrkenv"
  cp "$PRODUCT_BIN/vl_product_chvrkenv" "$bin/chvrkenv"
  local app
  for app in "$@"; do
    cp "$PRODUCT_BIN/vl_product_sim_app" "$bin/$app"
  done
  mkdir -p "$folder/VRKEnv"
  printf 'VRK_PRODUCT=%s\nVRK_LANGUAGE=en\n' "$(basename "$folder")" >"$folder/VRKEnv/Env.txt"
}

# add_uninstall KEY FOLDER: the simulated uninstall script at the installation root, with what
# it needs to remove the installation's record (the report goes beside the folder).
add_uninstall() {
  local key=$1 folder=$2
  [ -n "${PRODUCT_BIN:-}" ] || return 0
  cp "$here/tests/fixtures/product/Uninstall.sh" "$folder/Uninstall.sh"
  {
    printf "VLREG='%s'\n" "$vlreg"
    printf "REGISTRY_ROOT='%s'\n" "$(cd "$root" && pwd)"
    printf "KEY='%s'\n" "$key"
    printf "REPORT='%s'\n" "$folder.uninstall.txt"
  } >"$folder/sim-uninstall.conf"
}

design="HKLM\\Software\\Quorvanti\\Z5\\L24\\DESIGN\\L24_4_DEMO"
add_install "$design" "$installs/L24_Design" \
  Level=L24.4 GAlevel=L24 SPlevel=SP4 Osds=linux_a64 PkgId=B424-0417 \
  "ShortName=Design" "LongName=Design Studio 2024" Type=full BigContent=true \
  "ProductLine=DSN,SIM,,RND"
add_product "$installs/L24_Design" designstudio designrender
add_uninstall "$design" "$installs/L24_Design"
reg add "$design\\prd" /v designstudio.exe /d "" /reg:64
reg add "$design\\prd" /v designrender.exe /d "" /reg:64
reg add "$design\\xtra" /v licensemonitor.exe /d "" /reg:64
reg add "$design\\app\\DSN_Modeler" /v brand /d DSN /reg:64
reg add "$design\\app\\DSN_Modeler" /v wb /d ModelerWorkbench /reg:64
reg add "$design\\app\\SIM_Analyst" /v brand /d SIM /reg:64
reg add "$design\\app\\SIM_Analyst" /v wb /d AnalysisWorkbench /reg:64

tools="HKLM\\Software\\Quorvanti\\Z5_Common\\TOOLS"
add_install "$tools" "$installs/Common_Tools" \
  Level=L25 GAlevel=L25 Osds=linux_a64 PkgId=T250-0102 "ShortName=Tools" \
  "LongName=Common Tools" Type=common BigContent=false ProductLine=TLS
add_product "$installs/Common_Tools" toolbox
add_uninstall "$tools" "$installs/Common_Tools"
reg add "$tools\\prd" /v toolbox.exe /d "" /reg:64
reg add "$tools\\app\\TLS_Console" /v brand /d TLS /reg:64
reg add "$tools\\app\\TLS_Console" /v wb /d ConsoleWorkbench /reg:64

echo "sample-installs: 2 installations recorded in $root (folders under $installs)"
