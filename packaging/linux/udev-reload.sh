#!/bin/sh
# postinst and postrm of the scanflash package: a running udev reads the scanflash rule
# (or forgets it) and applies that to the scanners attached now, so nobody has to replug
# one. Without udev, with a udev that does not run (a container, a chroot), or when dpkg
# works on another root directory, there is nothing to do.
set -e

reload_udev_rules() {
    # The ping fails without udevadm as well as without a running udev.
    if [ -n "${DPKG_ROOT:-}" ] || ! udevadm control --ping >/dev/null 2>&1; then
        return 0
    fi
    udevadm control --reload-rules || true
    udevadm trigger --action=change --subsystem-match=usb --subsystem-match=hidraw \
        --subsystem-match=tty || true
}

case "$1" in
    configure | remove)
        reload_udev_rules
        ;;
esac

exit 0
