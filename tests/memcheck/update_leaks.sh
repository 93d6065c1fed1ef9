#!/usr/bin/env bash
# Runs one whole update that ends in clean-up (every image up to date, with the package
# CRC check) under valgrind and fails on any leak or memory error.
#   tests/memcheck/update_leaks.sh [BUILD_DIR]     (default: build)
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
build=${1:-$top/build}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

device=$work/device
"$build/tools/vxdevice" init "$device" --boot miniboot --hardware 7000 >/dev/null
flash=$device/.hardware/flash
"$build/tools/vxpack" build -o "$device/Storage Card/VXUpdate.bin" \
  --engine "$build/sim/VXUpdate.dll" --miniboot "$flash/Miniboot.img" \
  --bootloader "$flash/Bootloader.img" --wince "$flash/WinCE.img"

status=0
VXU_DEVICE_ROOT=$device VXU_MSGBOX_ANSWERS=yes VXU_TIME_SCALE=0.001 \
  valgrind --quiet --leak-check=full --show-leak-kinds=definite,indirect,possible \
  --errors-for-leak-kinds=definite,indirect,possible --error-exitcode=3 \
  "$build/control/vxupdater" -c > "$work/out" 2> "$work/err" || status=$?
if [[ $status -ne 0 ]] || ! grep -q '>bye' "$work/out"; then
  echo "memcheck: the update under valgrind ended with status $status" >&2
  cat "$work/out" "$work/err" >&2
  exit 1
fi
echo "memcheck: a whole update that ends in clean-up leaks nothing"
