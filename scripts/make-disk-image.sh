#!/usr/bin/env bash
# Writes a raw disk image that boots quillmor on any UEFI machine: a GPT
# partition table with one EFI system partition (FAT32) holding
#   EFI/BOOT/BOOTX64.EFI   the loader (the path firmware boots by default)
#   boot/mavotix.elf       the kernel
#   boot/initrd.ustar      the initial ramdisk
#
#   make-disk-image.sh IMAGE LOADER KERNEL INITRD
#
# Needs sgdisk (gdisk), mkfs.fat (dosfstools) and mtools; no root, no loop devices.
set -euo pipefail

if [[ $# -ne 4 ]]; then
    echo "usage: $0 IMAGE LOADER KERNEL INITRD" >&2
    exit 2
fi
image=$1 loader=$2 kernel=$3 initrd=$4
for file in "$loader" "$kernel" "$initrd"; do
    [[ -f $file ]] || { echo "$0: no such file: $file" >&2; exit 1; }
done

# 1 MiB before the partition (the protective MBR, the GPT and alignment) and
# 1 MiB after it (the backup GPT). FAT32 needs a partition of 33 MiB or more;
# beyond that, room for the files twice over.
payload=$(( $(stat -c %s "$loader") + $(stat -c %s "$kernel") + $(stat -c %s "$initrd") ))
partition_mib=$(( payload * 2 / 1048576 + 16 ))
(( partition_mib >= 62 )) || partition_mib=62
sectors=$(( (partition_mib + 2) * 2048 ))
first=2048
last=$(( sectors - 2048 - 1 ))

rm -f "$image"
truncate -s $(( sectors * 512 )) "$image"
sgdisk --clear --new=1:$first:$last --typecode=1:ef00 \
       --change-name=1:"EFI system partition" "$image" >/dev/null
# The block count (in KiB) stops the file system at the end of the partition;
# mkfs.fat notes that the image goes on beyond it, which is intended.
mkfs.fat -F 32 -n QUILLMOR --offset $first -h $first "$image" $(( partition_mib * 1024 )) 2>&1 \
    >/dev/null | { grep -v "block count mismatch" >&2 || true; }

# mtools reaches the partition through its byte offset in the image.
fat="$image@@$(( first * 512 ))"
export MTOOLS_SKIP_CHECK=1
mmd -i "$fat" ::/EFI ::/EFI/BOOT ::/boot
mcopy -i "$fat" "$loader" ::/EFI/BOOT/BOOTX64.EFI
mcopy -i "$fat" "$kernel" ::/boot/mavotix.elf
mcopy -i "$fat" "$initrd" ::/boot/initrd.ustar
