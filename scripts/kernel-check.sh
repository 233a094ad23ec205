#!/usr/bin/env bash
# Runs lorvane-cli against a real Linux kernel: Debian's kernel boots in qemu (software emulation, no
# KVM needed) with an emulated AHCI CD/DVD drive holding an image that lorvane-cli built, and an
# initramfs holding busybox, the drive's kernel modules and lorvane-cli. Inside, every verb that reads
# goes through the SG_IO layer on /dev/sr0; every file is extracted and its checksum compared with the
# source tree here. The emulated drive is a reader, so the writing verbs must end in a clean refusal
# (exit status 1 with a reason), never in a crash or a hang. Exits non-zero on any difference.
#
#   scripts/kernel-check.sh            # work folder build/kernel/check, kept for a look afterwards
#   KERNEL_CHECK_TIMEOUT=900 scripts/kernel-check.sh   # seconds for each boot (600 by default)
#   KERNEL_CHECK_BUSES="ahci virtio-scsi" scripts/kernel-check.sh   # the drive on each bus in turn (AHCI
#                                       # by default; see docs/kernel-check.md for virtio-scsi)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
start=$(date +%s)

bash scripts/install-deps.sh

build="${root}/build/kernel"
work="${build}/check"
timeout_seconds="${KERNEL_CHECK_TIMEOUT:-600}"

echo "== build lorvane-cli (Release, ${build})"
cmake -S . -B "${build}" -G Ninja -DCMAKE_BUILD_TYPE=Release -DLORVANE_TESTS=OFF -DLORVANE_BENCH=OFF \
    -DLORVANE_GUI=OFF >/dev/null
cmake --build "${build}" --target lorvane-cli -j "$(nproc)"
cli="${build}/bin/lorvane-cli"

rm -rf "${work}"
mkdir -p "${work}"
tree="${work}/tree"
iso="${work}/disc.iso"

echo "== test tree and its image"
random_file() { # PATH BYTES
    mkdir -p "$(dirname "$1")"
    head -c "$2" /dev/urandom >"$1"
}
random_file "${tree}/readme.txt" 1
: >"${tree}/empty.dat"
random_file "${tree}/one-sector.bin" 2048
random_file "${tree}/odd size.bin" 300007
random_file "${tree}/big.bin" 1500000
random_file "${tree}/deep/level1/level2/level3/bottom.bin" 4099
random_file "${tree}/deep/level1/same-name.bin" 77
random_file "${tree}/deep/same-name.bin" 78
long_name="A file name well past the eight-dot-three rules, kept on the disc by its Joliet tree, 0123456789.data"
random_file "${tree}/${long_name}" 12345
random_file "${tree}/Grüße aus Köln.txt" 555
random_file "${tree}/日本語のフォルダ/データ.bin" 65536
random_file "${tree}/café/naïve résumé.txt" 1000
random_file "${tree}/café/🎵 Ünïcödé.bin" 2222
"${cli}" build-iso -o "${iso}" --volume-id KERNELCHECK "${tree}"
# A second, small image for the guest to try to record.
"${cli}" build-iso -o "${work}/small.iso" "${tree}/readme.txt"

echo "== kernel and modules"
kernel_version=""
for image in /boot/vmlinuz-*; do
    version=${image#/boot/vmlinuz-}
    [ -f "/lib/modules/${version}/modules.dep" ] || continue
    if [ -z "${kernel_version}" ] ||
        [ "$(printf '%s\n%s\n' "${kernel_version}" "${version}" | sort -V | tail -n 1)" = "${version}" ]; then
        kernel_version=${version}
    fi
done
if [ -z "${kernel_version}" ]; then
    echo "kernel-check: no Debian kernel with its modules under /boot and /lib/modules" >&2
    exit 1
fi
vmlinuz="/boot/vmlinuz-${kernel_version}"
echo "kernel ${kernel_version}"

initramfs="${work}/initramfs"
mkdir -p "${initramfs}"/{bin,dev,proc,sys,tmp,modules,opt/lorvane,lib/x86_64-linux-gnu,lib64}

# Two CD/DVD paths: the AHCI host driver, and virtio-scsi over PCI; then the SCSI CD-ROM driver and the
# generic SCSI driver. Each with every module it needs, in the order insmod must load them. Drivers built into the kernel need nothing.
module_order=()
add_module() {
    local name=$1 file dep
    for loaded in "${module_order[@]:-}"; do [ "${loaded}" = "${name}" ] && return 0; done
    if grep -q "/${name//_/[_-]}\.ko" "/lib/modules/${kernel_version}/modules.builtin"; then return 0; fi
    for dep in $(modinfo -k "${kernel_version}" -F depends "${name}" | tr ',' ' '); do add_module "${dep}"; done
    file=$(modinfo -k "${kernel_version}" -n "${name}")
    case "${file}" in
    *.ko) cp "${file}" "${initramfs}/modules/${name}.ko" ;;
    *.ko.xz) xz -dc "${file}" >"${initramfs}/modules/${name}.ko" ;;
    *.ko.zst) zstd -qdc "${file}" >"${initramfs}/modules/${name}.ko" ;;
    *) echo "kernel-check: cannot use the module file ${file}" >&2; exit 1 ;;
    esac
    module_order+=("${name}")
}
for module in ahci virtio_pci virtio_scsi sr_mod sg; do add_module "${module}"; done
echo "modules: ${module_order[*]}"
printf '%s\n' "${module_order[@]}" >"${initramfs}/modules/order"

cp /bin/busybox "${initramfs}/bin/busybox"
# lorvane-cli and exactly the libraries the dynamic loader resolves for it; the manager module stays
# out, so that a missing SG_IO drive cannot be hidden by the virtual recorder.
cp "${cli}" "${initramfs}/opt/lorvane/lorvane-cli"
cp "${work}/small.iso" "${initramfs}/opt/lorvane/small.iso"
for library in $(ldd "${cli}" | awk '$2 == "=>" && $3 ~ /^\// { print $3 }'); do
    cp -L "${library}" "${initramfs}/lib/x86_64-linux-gnu/"
done
loader=$(readelf -l "${cli}" | sed -n 's/.*Requesting program interpreter: \(.*\)\]/\1/p')
mkdir -p "${initramfs}$(dirname "${loader}")"
cp -L "${loader}" "${initramfs}${loader}"

cat >"${initramfs}/init" <<'INIT'
#!/bin/busybox sh
/bin/busybox --install -s /bin
export PATH=/bin:/opt/lorvane LD_LIBRARY_PATH=/lib/x86_64-linux-gnu
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mount -t tmpfs tmpfs /tmp
say() { echo "kernel-check: $*" >/dev/console; }

while read -r module; do
    insmod "/modules/${module}.ko" || say "insmod ${module} failed"
done </modules/order

waited=0
while [ ! -b /dev/sr0 ] && [ "${waited}" -lt 60 ]; do sleep 1; waited=$((waited + 1)); done
say "/dev/sr0 after ${waited} s"

out=/tmp/out
mkdir -p "${out}"
# NAME COMMAND...: stdout, stderr (with --log) and exit status of one command, which gets two minutes;
# timeout's status 124 (or a signal's 128+N) marks a hang or a crash.
run() {
    name=$1
    shift
    say "$*"
    timeout 120 "$@" >"${out}/${name}.out" 2>"${out}/${name}.err"
    echo $? >"${out}/${name}.rc"
}

run drives lorvane-cli --log drives
run caps lorvane-cli --log caps
run speeds lorvane-cli --log speeds
run ready lorvane-cli --log ready
run info lorvane-cli --log info
run sessions lorvane-cli --log sessions

# Every folder of the disc: one ls each, folders found in its answer joined to the queue.
printf '/\n' >/tmp/folders
: >"${out}/listing"
: >"${out}/ls.rc"
index=1
while :; do
    folder=$(sed -n "${index}p" /tmp/folders)
    [ -n "${folder}" ] || break
    run ls-${index} lorvane-cli --log ls "${folder}"
    echo "$(cat "${out}/ls-${index}.rc") ${folder}" >>"${out}/ls.rc"
    echo "D ${folder}" >>"${out}/listing"
    # Columns: size (12), two blanks, date and time (16), two blanks, the name; a folder ends in "/".
    while IFS= read -r line; do
        name=$(printf '%s\n' "${line}" | cut -c33-)
        case "${name}" in
        */) echo "${folder}${name}" >>/tmp/folders ;;
        *) echo "F $(printf '%s\n' "${line}" | cut -c1-12 | tr -d ' ') ${folder}${name}" >>"${out}/listing" ;;
        esac
    done <"${out}/ls-${index}.out"
    index=$((index + 1))
done

# Each file on its own, to a file name of the same path.
: >"${out}/extract.rc"
: >"${out}/extract.err"
grep '^F ' "${out}/listing" | cut -d' ' -f3- >/tmp/files
while IFS= read -r path; do
    mkdir -p "/tmp/one$(dirname "${path}")"
    say "extract ${path}"
    timeout 120 lorvane-cli extract "${path}" "/tmp/one${path}" >/dev/null 2>>"${out}/extract.err"
    echo "$? ${path}" >>"${out}/extract.rc"
done </tmp/files
(cd /tmp/one && find . -type f -exec sha256sum {} \;) >"${out}/extract.sha256"

# The whole disc at once.
mkdir -p /tmp/all
run extract-all lorvane-cli --log extract / /tmp/all
(cd /tmp/all && find . -type f -exec sha256sum {} \;) >"${out}/extract-all.sha256"

# A reader refuses what only a recorder does: these must fail cleanly, not crash or hang.
run erase lorvane-cli --log erase --quick
run burn-iso lorvane-cli --log burn-iso /opt/lorvane/small.iso
run burn lorvane-cli --log burn /opt/lorvane/small.iso

# The results on the second serial port, one section per file.
stty -F /dev/ttyS1 raw -echo 2>/dev/null
{
    for file in "${out}"/*; do
        echo "@@FILE ${file##*/}"
        cat "${file}"
        echo "@@END"
    done
    echo "@@DONE"
} >/dev/ttyS1
sync
say "done"
poweroff -f
INIT
chmod +x "${initramfs}/init"

(cd "${initramfs}" && find . | LC_ALL=C sort | cpio -o -H newc --quiet | gzip -1) >"${work}/initramfs.cpio.gz"

failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

# BUS: boots the guest with the image on an emulated CD/DVD drive of that bus and splits what came back
# on the second serial port into ${work}/BUS/, one file per section.
boot() {
    local bus=$1 drive_device qemu_status boot_start
    case "${bus}" in
    ahci) drive_device=(-device "ide-cd,drive=cd0,bus=ide.0") ;;
    virtio-scsi) drive_device=(-device "virtio-scsi-pci,id=scsi0" -device "scsi-cd,drive=cd0,bus=scsi0.0") ;;
    *)
        fail "unknown bus '${bus}' (ahci or virtio-scsi)"
        return 1
        ;;
    esac
    local dir="${work}/${bus}"
    mkdir -p "${dir}/guest"
    echo "== boot with the drive on ${bus} (software emulation, at most ${timeout_seconds} s)"
    boot_start=$(date +%s)
    set +e
    timeout "${timeout_seconds}" qemu-system-x86_64 -accel tcg -machine q35 -cpu max -smp 1 -m 512 \
        -nographic -monitor none -no-reboot \
        -kernel "${vmlinuz}" -initrd "${work}/initramfs.cpio.gz" \
        -append "console=ttyS0 rdinit=/init panic=-1 loglevel=4" \
        -drive "file=${iso},media=cdrom,if=none,id=cd0,readonly=on" "${drive_device[@]}" \
        -serial stdio -serial "file:${dir}/serial.txt" </dev/null >"${dir}/console.log" 2>&1
    qemu_status=$?
    set -e
    echo "qemu ended with status ${qemu_status} after $(($(date +%s) - boot_start)) s"
    if ! grep -q '^@@DONE' "${dir}/serial.txt" 2>/dev/null; then
        fail "${bus}: no results came back from the guest (qemu status ${qemu_status}); the end of its console:"
        tail -n 40 "${dir}/console.log"
        return 1
    fi
    tr -d '\r' <"${dir}/serial.txt" | awk -v dir="${dir}/guest" '
        /^@@FILE / { file = dir "/" substr($0, 8); printf "" > file; next }
        /^@@END$/ { close(file); file = ""; next }
        file != "" { print >> file }'
}

# What the source tree must look like on the disc: its folders, and its files with their sizes and
# checksums, in the forms the guest writes.
expected_listing="${work}/expected-listing"
(
    cd "${tree}"
    find . -type d | while IFS= read -r d; do
        if [ "${d}" = . ]; then echo "D /"; else echo "D ${d#.}/"; fi
    done
    find . -type f -printf 'F %s %P\n' | sed 's|^\(F [0-9]*\) |\1 /|'
) | LC_ALL=C sort >"${expected_listing}"
expected_sums="${work}/expected.sha256"
(cd "${tree}" && find . -type f -exec sha256sum {} \;) | LC_ALL=C sort -k 2 >"${expected_sums}"

# BUS: compares what the guest saw with the source tree and with what a reader must answer.
check() {
    local bus=$1 got="${work}/$1/guest" name actual sums
    echo "== compare (${bus})"
    status_of() { cat "${got}/$1.rc" 2>/dev/null || echo missing; }
    show() {
        echo "--- $1: stdout"
        cat "${got}/$1.out" 2>/dev/null || true
        echo "--- $1: stderr"
        cat "${got}/$1.err" 2>/dev/null || true
    }
    expect_status() { # NAME STATUS
        actual=$(status_of "$1")
        if [ "${actual}" != "$2" ]; then
            fail "${bus}: $1 exited with ${actual}, expected $2"
            show "$1"
        fi
    }
    expect_line() { # NAME REGEX
        if ! grep -Eq -- "$2" "${got}/$1.out"; then
            fail "${bus}: $1: no line matching '$2'"
            show "$1"
        fi
    }

    # Every verb: no crash and no hang, whichever way it ended.
    for rc_file in "${got}"/*.rc; do
        name=$(basename "${rc_file}" .rc)
        case "${name}" in extract | ls) continue ;; esac
        actual=$(cat "${rc_file}")
        if [ "${actual}" != 0 ] && [ "${actual}" != 1 ]; then
            fail "${bus}: ${name} ended with status ${actual} (crash or hang)"
            show "${name}"
        fi
    done

    # drives: one device, the emulated drive on /dev/sr0, reached through the SG_IO layer.
    expect_status drives 0
    if [ "$(wc -l <"${got}/drives.out")" != 1 ]; then
        fail "${bus}: drives listed $(wc -l <"${got}/drives.out") devices, expected 1"
        show drives
    fi
    expect_line drives '^[0-9]:[0-9]:[0-9],/dev/sr0 QEMU    QEMU (DVD-ROM    |CD-ROM     )'
    if ! grep -qx '>>> OBASPI32' "${got}/drives.err"; then
        fail "${bus}: drives did not go through the SG_IO layer"
        show drives
    fi

    # caps: a reader, so no write capability and no write speed.
    expect_status caps 0
    expect_line caps '^  [0-9]:[0-9]:[0-9],/dev/sr0 QEMU'
    expect_line caps '^Max Read Speed    : +[1-9][0-9]*x$'
    # The read flags: the SCSI CD-ROM answers the default-values capabilities page they come from; the
    # ATAPI one refuses it (ILLEGAL REQUEST) and they come from its current values.
    expect_line caps '^\[x\] Read CDR '
    expect_line caps '^\[x\] Read DVD '
    if grep -q '\[x\] Write' "${got}/caps.out"; then
        fail "${bus}: caps shows a write capability on a reader"
        show caps
    fi
    if [ "$(status_of speeds)" = 1 ] && ! grep -qv '^\(>>>\|<<<\) ' "${got}/speeds.err"; then
        fail "${bus}: speeds failed without a reason"
    fi

    expect_status ready 0
    expect_status info 0
    expect_line info '^Medium  : CD-ROM$'
    expect_line info '^Used Space  : [0-9.]+ MB$'
    # A pressed disc is as large as what is on it. The ATAPI CD-ROM takes the format of READ TOC from
    # byte 9 (the old place) and answers the ATIP request with the TOC, which is not taken for an ATIP.
    local size used
    size=$(sed -n 's/^Disc Size  : \(.*\)$/\1/p' "${got}/info.out")
    used=$(sed -n 's/^Used Space  : \(.*\)$/\1/p' "${got}/info.out")
    if [ "${size}" != "${used}" ]; then
        fail "${bus}: info shows a disc size of ${size} for ${used} used on a pressed disc"
    fi
    local image_size
    image_size=$(LC_ALL=C awk -v bytes="$(stat -c %s "${iso}")" 'BEGIN { printf "%.2f MB", bytes / 1048576 }')
    if [ "${size}" != "${image_size}" ]; then
        fail "${bus}: info shows a disc size of ${size} for an image of ${image_size}"
    fi
    expect_line info '^  001      000:02:00 '
    expect_status sessions 0
    expect_line sessions '^ Number     Start     Size$'
    if [ "$(grep -c '^  [0-9][0-9][0-9] ' "${got}/sessions.out")" != 1 ]; then
        fail "${bus}: sessions does not show exactly one session"
        show sessions
    fi

    # ls: every folder and file, with its size, exactly as in the source tree.
    if grep -qv '^0 ' "${got}/ls.rc"; then
        fail "${bus}: ls failed in some folders (exit status and folder):"
        grep -v '^0 ' "${got}/ls.rc"
    fi
    LC_ALL=C sort "${got}/listing" >"${work}/${bus}/listing"
    if ! diff -u "${expected_listing}" "${work}/${bus}/listing" >"${work}/${bus}/listing.diff"; then
        fail "${bus}: ls: the disc's folders and files differ from the source tree"
        cat "${work}/${bus}/listing.diff"
    fi

    # extract: each file on its own, and the whole disc at once, equal to the source files.
    if grep -qv '^0 ' "${got}/extract.rc"; then
        fail "${bus}: extract of single files failed (exit status and path):"
        grep -v '^0 ' "${got}/extract.rc"
        cat "${got}/extract.err"
    fi
    expect_status extract-all 0
    for sums in extract extract-all; do
        LC_ALL=C sort -k 2 "${got}/${sums}.sha256" >"${work}/${bus}/${sums}.sha256"
        if ! diff -u "${expected_sums}" "${work}/${bus}/${sums}.sha256" >"${work}/${bus}/${sums}.diff"; then
            fail "${bus}: ${sums}: extracted files differ from the source files"
            cat "${work}/${bus}/${sums}.diff"
        fi
    done

    # The writing verbs on a reader: refused with a reason, status 1.
    for name in erase burn-iso burn; do
        expect_status "${name}" 1
        if ! grep -qv '^\(>>>\|<<<\) ' "${got}/${name}.err"; then
            fail "${bus}: ${name} was refused without a reason"
            show "${name}"
        fi
    done
    # The pressed disc is refused before a block goes to the drive.
    for pair in "burn:THE DISC IS CLOSED: NO SESSION CAN BE ADDED" "burn-iso:NEED EMPTY DISC FOR ISO BURNING"; do
        name=${pair%%:*}
        if ! grep -qF -- "lorvane-cli: ${pair#*:}" "${got}/${name}.err"; then
            fail "${bus}: ${name} did not say \"${pair#*:}\""
            show "${name}"
        fi
    done

    echo "-- what the guest printed (${bus})"
    for name in drives caps speeds info sessions erase burn-iso burn; do
        echo "--- ${name} (status $(status_of "${name}"))"
        cat "${got}/${name}.out"
        grep -v '^\(>>>\|<<<\) ' "${got}/${name}.err" || true
    done
}

buses=${KERNEL_CHECK_BUSES:-ahci virtio-scsi}
for bus in ${buses}; do
    if boot "${bus}"; then check "${bus}"; fi
done

elapsed=$(($(date +%s) - start))
files=$(grep -c '^F ' "${expected_listing}")
if [ "${failures}" -ne 0 ]; then
    echo "kernel-check: ${failures} difference(s) against kernel ${kernel_version} (${elapsed} s)"
    exit 1
fi
echo "kernel-check: ${files} files and every verb matched through SG_IO on kernel ${kernel_version}, drive on: ${buses} (${elapsed} s)"
