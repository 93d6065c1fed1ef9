#!/usr/bin/env bash
# Runs the updater once on a simulated device: installs the Debian packages the build
# needs when they are missing, builds the project in build/, makes a
# device whose flash holds older images, builds an update package in which some images
# equal the ones in flash and some are newer, runs the updater on the device and shows
# the device afterwards.  The updater ends with a hardware reset (exit status 100).
set -euo pipefail

top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
"$top/scripts/install-deps" demo
build=$top/build
demo=$build/demo
hardware=7000

generator=()
if [[ ! -f $build/CMakeCache.txt ]] && command -v ninja >/dev/null; then
  generator=(-G Ninja)
fi
cmake -S "$top" -B "$build" "${generator[@]}"
cmake --build "$build" --target vxupdater vxpack vxdevice vxsim_bsp vxsim_engine

vxdevice=$build/tools/vxdevice
vxpack=$build/tools/vxpack

rm -rf "$demo"
mkdir -p "$demo/images"

echo "== A device that boots through Miniboot, with the factory images 1.0 in flash"
"$vxdevice" init "$demo/device" --boot miniboot --hardware "$hardware"
"$vxdevice" show "$demo/device"

echo "== Images for the package: Miniboot as in flash, Bootloader and WinCE newer"
cp "$demo/device/.hardware/flash/Miniboot.img" "$demo/images/miniboot.img"
"$vxdevice" image --type Bootloader --hardware "$hardware" --version 1.1 \
  --date 2024-03-01 --size 65536 -o "$demo/images/bootloader.img"
"$vxdevice" image --type WinCE --hardware "$hardware" --version 2.0 \
  --date 2024-03-01 --size 1048576 -o "$demo/images/wince.img"

"$vxpack" build -o "$demo/VXUpdate.bin" --engine "$build/sim/VXUpdate.dll" \
  --miniboot "$demo/images/miniboot.img" \
  --bootloader "$demo/images/bootloader.img" \
  --wince "$demo/images/wince.img"
cp "$demo/VXUpdate.bin" "$demo/device/Storage Card/VXUpdate.bin"

echo "== The updater on the device (the trace is in $demo/trace.jsonl)"
status=0
VXU_DEVICE_ROOT=$demo/device VXU_MSGBOX_ANSWERS=yes VXU_TIME_SCALE=0.05 \
  VXU_TRACE=$demo/trace.jsonl "$build/control/vxupdater" || status=$?
echo
if [[ $status -ne 100 ]]; then
  echo "demo: the updater ended with status $status, not 100 (hardware reset)" >&2
  exit 1
fi

echo "== The device after the update"
"$vxdevice" show "$demo/device"
