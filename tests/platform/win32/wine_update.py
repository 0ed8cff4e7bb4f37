#!/usr/bin/env python3
"""Whole runs of the Windows build under Wine, as a user would start them.

usage: wine_update.py SCENARIO WINE_RUN PREFIX --bin-dir DIR [--sim-pty PROGRAM]
                      [--database-tests PROGRAM]

Each scenario describes the attached scanners in the registry of the Wine prefix PREFIX
(imported with regedit; the suite's own keys are deleted before and after, so every run
starts from the same registry), maps COM7 onto a pty served by the native simulated scanner
(scanflash-sim-pty of the native build, since the cross build makes Windows programs only),
writes a firmware file with the Windows scanfw.exe and runs scanflash.exe from DIR through
WINE_RUN. Standard output and the exit code are compared with the expected ones byte for
byte. The Windows C runtime writes standard output in text mode, so every "\\n" of a
transcript arrives as "\\r\\n", as it would on Windows: the expected transcripts are written
with "\\n" and compared in that form.

The scenario "database" imports the entries the Win32 device database tests expect and runs
PROGRAM (win32_database_tests.exe) instead. The scenario "side-by-side" attaches two serial
scanners (COM7 and COM8, each served by a simulated scanner of its own) and updates both at
once, each by its own scanflash.exe with its own -device:. The scenario "devices" runs scanfw.exe devices
--json and reads its document. The "trace" scenarios set SCANFLASH_TRACE and read the trace;
every other run must leave nothing behind in its folder.

Exit status: 0 when the scenario ends as expected, 1 when not, 77 when the native simulated
scanner is missing (CTest counts the test as skipped).
"""

import argparse
import json
import os
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time

SKIPPED = 77
PROGRAM_TIME_LIMIT_S = 120
COM_PORT = "com7"

PORTS_CLASS = "{4D36E978-E325-11CE-BFC1-08002BE10318}"
USB_DEVICE_INTERFACES = "{a5dcbf10-6530-11d2-901f-00c04fb951ed}"
HID_INTERFACES = "{4d1e55b2-f16f-11cf-88cb-001111000030}"
VENDOR_INTERFACES = "{6f3a2c81-94b7-4e0d-a5c2-1b8e7d40f9a3}"
# An interface class of the tests' own, for paths that test the detail buffer's size.
LONG_PATH_INTERFACES = "{5c4a8f10-3b2e-4d71-9a60-2f1e0c7b8d45}"
# The setup class of USB devices that are not ports.
USB_CLASS = "{36FC9E60-C465-11CF-8056-444553540000}"

BANNER = "scanflash.exe  Version: 1.0.2.2\n"
NON_ASCII_NAME = "sk\u00e4nflash.exe"
WAITING = "\nWating update to complete. It make take dozens of seconds.\n"
USAGE = (
    'Usage: "{name}" [-force] -file:xxx.bin2\n'
    "Options:\n"
    "  -force                   Optional. Not check whether the firmware file is suitable for "
    "the device.\n"
    "  -file:firmware_filename  Specify the firmware file to use\n"
)
UPDATE_HEAD = (
    BANNER + "Test connection\n"
    "Checking whether the firmware file is suitable for the device\n"
    "Entering update mode\n"
    "\nUpdating block: 0/2\n"
    "Setting up update parameters\n"
    "Sending data. total frames:3\n"
)
SECOND_BLOCK = (
    "\nUpdating block: 1/2\n" "Setting up update parameters\n" "Sending data. total frames:2\n"
)
SUCCESS = UPDATE_HEAD + "*" + WAITING + SECOND_BLOCK + "*" + WAITING + "\nUpdate successful\n"
FORCED_SUCCESS = (
    BANNER + "Test connection\n"
    "Entering update mode\n"
    "\nUpdating block: 0/2\n"
    "Setting up update parameters\n"
    "Sending data. total frames:3\n"
    "*" + WAITING + SECOND_BLOCK + "*" + WAITING + "\nUpdate successful\n"
)
# What the simulated scanner reports after a whole update of the firmware file.
BLOCKS_WRITTEN = [
    "block kern: 1500 bytes, 3 of 3 frames, verdict ^",
    "block flah: 600 bytes, 2 of 2 frames, verdict ^",
]


# Registry entries, as (key below HKEY_LOCAL_MACHINE\System\CurrentControlSet, values).


def usb_device(identity, instance, setup_class=PORTS_CLASS, location=None, **parameters):
    """An Enum entry with its location information, if any; the values given land in its
    Device Parameters (the device key)."""
    key = "Enum\\%s\\%s" % (identity, instance)
    values = {"ClassGUID": setup_class}
    if location:
        values["LocationInformation"] = location
    entries = [(key, values)]
    if parameters:
        entries.append((key + "\\Device Parameters", parameters))
    return entries


def interface(interface_class, device_instance, path_tail=None):
    """A device interface of a class, linked, so that the class's device list holds it.
    The interface path is \\\\?\\ followed by the key name after its "##?#"."""
    if path_tail is None:
        path_tail = device_instance.replace("\\", "#").lower() + "#" + interface_class
    key = "Control\\DeviceClasses\\%s\\##?#%s" % (interface_class, path_tail)
    return [
        (key, {"DeviceInstance": device_instance}),
        (key + "\\#\\Control", {"Linked": 1}),
    ]


def serial_scanner(
    instance="5&12345&0&1", identity="USB\\VID_6666&PID_0007", port="COM7", location=None
):
    """A scanner of a serial product: its USB device, which the count sees, and its COM port."""
    return usb_device(identity, instance, location=location, PortName=port) + interface(
        USB_DEVICE_INTERFACES, identity + "\\" + instance
    )


def long_path_interface(units, letter):
    """An interface of the tests' own class whose path is exactly units long."""
    head = "usb#vid_6666&pid_0006#"
    tail = "#" + LONG_PATH_INTERFACES
    fill = units - 4 - len(head) - len(tail)
    instance = "USB\\VID_6666&PID_0006\\" + letter * fill
    return usb_device("USB\\VID_6666&PID_0006", letter * fill, USB_CLASS) + interface(
        LONG_PATH_INTERFACES, instance, head + letter * fill + tail
    )


# What win32_database_test.cpp expects to find.
DATABASE_ENTRIES = (
    serial_scanner("7&d0&0&1", port="COM7", location="Port_#0001.Hub_#0003")
    # Not a supported product: it does not count.
    + usb_device("USB\\VID_1234&PID_5678", "7&d0&0&2", USB_CLASS)
    + interface(USB_DEVICE_INTERFACES, "USB\\VID_1234&PID_5678\\7&d0&0&2")
    # Ports: a name that is no port number, names of 30 units (the most that fits) and 31,
    # and a port of the vendor bus whose USB identity sits in its device key.
    + usb_device("USB\\VID_6666&PID_0008", "7&d0&0&3", PortName="COM0")
    + usb_device("USB\\VID_6666&PID_0008", "7&d0&0&4", PortName="COM" + "0" * 26 + "4")
    + usb_device("USB\\VID_6666&PID_0008", "7&d0&0&5", PortName="COM" + "0" * 27 + "5")
    + usb_device(
        "QRN_VBUS\\QRN_VCOM",
        "7&d0&0&6",
        PortName="COM12",
        HardwareDevinstpath="USB\\VID_6666&PID_0008\\7&d0&0&6",
    )
    # A port of the main board: never a candidate.
    + usb_device("ACPI\\SFT0501", "1", PortName="COM1")
    # The interface classes: a vendor bulk interface and a HID interface.
    + usb_device("USB\\VID_6666&PID_0006", "7&d0&0&7", USB_CLASS)
    + interface(VENDOR_INTERFACES, "USB\\VID_6666&PID_0006\\7&d0&0&7")
    + usb_device("HID\\VID_7A10&PID_0010", "8&d0&0&0000", USB_CLASS)
    + interface(HID_INTERFACES, "HID\\VID_7A10&PID_0010\\8&d0&0&0000")
    # 252 units and the terminator fill the 510-byte detail buffer; 253 do not fit.
    + long_path_interface(252, "a")
    + long_path_interface(253, "b")
)

# What scanfw.exe devices sees: one serial scanner on COM7, an unsupported USB device, and
# ports skipped for their name, their hardware path and their bus.
DEVICES_ENTRIES = (
    serial_scanner()
    + usb_device("USB\\VID_1234&PID_5678", "7&d1&0&2", USB_CLASS)
    + interface(USB_DEVICE_INTERFACES, "USB\\VID_1234&PID_5678\\7&d1&0&2")
    + usb_device("USB\\VID_6666&PID_0008", "7&d1&0&3", PortName="COM0")
    + usb_device(
        "QRN_VBUS\\QRN_VCOM",
        "7&d1&0&6",
        PortName="COM12",
        HardwareDevinstpath="PCI\\VID_6666&PID_0008\\7&d1&0&6",
    )
    + usb_device("ACPI\\SFT0502", "1", PortName="COM2")
)
# Candidates the document must hold: (source, verdict, vendorId, productId, portName).
DEVICES_SEEN = [
    ("usb-device", "counted", "6666", "0007", None),
    ("usb-device", "unknown-vendor", "1234", "5678", None),
    ("port", "taken", "6666", "0007", "COM7"),
    ("port", "bad-port-name", None, None, "COM0"),
    ("port", "hardware-path-not-usb", None, None, "COM12"),
]

TRACE_SUCCESS = [
    " run    ==== scanflash.exe 1.0.2.2 ====\n",
    " run    system Windows ",
    ' run    command line: "',
    '" "-file:fw.bin"\n',
    " seen   usb-device 6666:0007, serial A: counted as an attached scanner; \\\\?\\",
    " seen   port 6666:0007, serial A, port COM7: taken, to open as serial; "
    "USB\\VID_6666&PID_0007\\5&12345&0&1\n",
    " select taken: \\\\.\\COM7 as serial (6666:0007, no interface number)\n",
    " port   open \\\\.\\COM7 (exclusive): ok\n",
    " port   serial set-up: 9600 8N1, done\n",
    ' file   "fw.bin", layout bin\n',
    " send   1 byte(s): 3F  |?|\n",
    " recv   1 byte(s): 21  |!|\n",
    " step   block 0/2 (kern): 3 frames\n",
    " send   frame 0: 517 bytes, crc 0x",
    " send   frame 2: 517 bytes, crc 0x",
    # A serial line may bring the last stars and the verdict in one read.
    " 5E  |",
    " result result code 0, exit code 15: the update succeeded\n",
    " run    ==== end ====\n",
]

SCENARIOS = {
    "success": dict(registry=serial_scanner(), transcript=SUCCESS, exit_code=15, written=True),
    "no-device": dict(registry=[], sim=None, transcript=BANNER, exit_code=12),
    # The USB device is there, but no COM port answers to its name.
    "port-missing": dict(registry=serial_scanner(), sim=None, transcript=BANNER, exit_code=12),
    "two-devices": dict(
        registry=serial_scanner() + serial_scanner("5&12345&0&2", port="COM8"),
        sim=None,
        transcript=BANNER,
        exit_code=14,
    ),
    "model-mismatch": dict(
        registry=serial_scanner(),
        sim=["--model=XX1"],
        transcript=BANNER
        + "Test connection\nChecking whether the firmware file is suitable for the device\n",
        exit_code=16,
    ),
    "model-mismatch-forced": dict(
        registry=serial_scanner(),
        sim=["--model=XX1"],
        arguments=["-force", "-file:fw.bin"],
        transcript=FORCED_SUCCESS,
        exit_code=15,
        written=True,
    ),
    "write-failure": dict(
        registry=serial_scanner(),
        sim=["--fault=verdict:fail-verdict"],
        transcript=UPDATE_HEAD + "*" + WAITING,
        exit_code=17,
    ),
    "silent-device": dict(
        registry=serial_scanner(),
        sim=["--fault=frame:silence:2"],
        transcript=UPDATE_HEAD + "*",
        exit_code=18,
    ),
    "vanishing-device": dict(
        registry=serial_scanner(),
        sim=["--fault=frame:vanish:2"],
        transcript=UPDATE_HEAD + "*",
        exit_code=18,
    ),
    # The interrupt arrives while the frames go out; the console handler swallows it.
    "interrupt": dict(
        registry=serial_scanner(),
        sim=["--latency=15"],
        interrupt_at="Sending data",
        transcript=SUCCESS,
        exit_code=15,
        written=True,
    ),
    # Wine ends the session while the first block is written (wineboot --end-session): the
    # hidden window hands WM_ENDSESSION to the handler, which stops the reader, closing the
    # port, and notes it in the trace before Wine ends the process.
    "end-session": dict(
        registry=serial_scanner(),
        sim=["--write-time=3500"],
        end_session_at="Wating",
        transcript=UPDATE_HEAD + "*" + WAITING,
        transcript_begins=True,
        exit_code=0,
        trace="trace.log",
        trace_lines=[" note   console event 6: the reader stopped, the process ends\n"],
    ),
    # The program's base name, not ASCII, printed in UTF-8.
    "program-name": dict(
        registry=[],
        sim=None,
        program_name=NON_ASCII_NAME,
        arguments=[],
        transcript=NON_ASCII_NAME + "  Version: 1.0.2.2\n" + USAGE.format(name=NON_ASCII_NAME),
        exit_code=11,
    ),
    # The same update traced: the same output and exit code, and the trace in the folder.
    "trace": dict(
        registry=serial_scanner(),
        transcript=SUCCESS,
        exit_code=15,
        written=True,
        trace="trace.log",
        trace_lines=TRACE_SUCCESS,
    ),
    "trace-silent-device": dict(
        registry=serial_scanner(),
        sim=["--fault=frame:silence:2"],
        transcript=UPDATE_HEAD + "*",
        exit_code=18,
        trace="trace.log",
        trace_lines=[
            " wait   ran out: 0 of 1 byte(s) after a first wait of 2000 ms, then 50 ms\n",
            " result failed in: block 0/2 (kern): 3 frames\n",
            " result last sent: frame 1: 517 bytes, crc 0x",
            " result last received: 1 byte(s): 2A  |*|\n",
        ],
    ),
    # A trace that cannot be opened: one line on standard error, the update as ever.
    "trace-unopenable": dict(
        registry=serial_scanner(),
        transcript=SUCCESS,
        exit_code=15,
        written=True,
        trace="missing\\trace.log",
        errors="scanflash.exe: cannot open the trace file missing\\trace.log: ",
    ),
    # The trace is a disk file or nothing: a device is refused without a wait.
    "trace-device": dict(
        registry=serial_scanner(),
        transcript=SUCCESS,
        exit_code=15,
        written=True,
        trace="NUL",
        errors="scanflash.exe: cannot open the trace file NUL: it is not a regular file; ",
    ),
    "devices": dict(
        registry=DEVICES_ENTRIES,
        sim=None,
        program="scanfw.exe",
        arguments=["devices", "--json"],
        exit_code=0,
        devices=True,
    ),
    # The demo's own simulated scanner, with the Windows console.
    "demo": dict(
        registry=[],
        sim=None,
        program="scanflash-demo.exe",
        arguments=["--sim-write-time=0", "-file:fw.bin"],
        transcript=SUCCESS.replace("scanflash.exe", "scanflash-demo.exe"),
        exit_code=15,
    ),
}


def every_test_key():
    """The keys any scenario writes, to be deleted: whole Enum devices, whole interfaces."""
    keys = set()
    entries = list(DATABASE_ENTRIES)
    for scenario in SCENARIOS.values():
        entries += scenario["registry"]
    for key, _ in entries:
        parts = key.split("\\")
        if parts[0] == "Enum":
            keys.add("\\".join(parts[:3]))
        else:
            keys.add("\\".join(parts[:4]))
    return sorted(keys)


def reg_text(delete, entries):
    root = "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\"
    lines = ["REGEDIT4", ""]
    for key in delete:
        lines += ["[-%s%s]" % (root, key), ""]
    for key, values in entries:
        lines.append("[%s%s]" % (root, key))
        for name, value in values.items():
            if isinstance(value, int):
                lines.append('"%s"=dword:%08x' % (name, value))
            else:
                lines.append('"%s"="%s"' % (name, value.replace("\\", "\\\\")))
        lines.append("")
    return "\r\n".join(lines) + "\r\n"


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


class Wine:
    def __init__(self, wine_run, prefix):
        self.wine_run = wine_run
        self.prefix = prefix

    def command(self, program, arguments):
        return [self.wine_run, self.prefix, program] + arguments

    def run(self, program, arguments, folder):
        return subprocess.run(
            self.command(program, arguments),
            cwd=folder,
            stdin=subprocess.DEVNULL,
            capture_output=True,
            timeout=PROGRAM_TIME_LIMIT_S,
        )

    def set_registry(self, entries, folder):
        path = os.path.join(folder, "devices.reg")
        with open(path, "w", encoding="ascii", newline="") as file:
            file.write(reg_text(every_test_key(), entries))
        completed = self.run("regedit", ["/S", windows_path(path)], folder)
        if completed.returncode != 0:
            raise RuntimeError("regedit failed: %r" % completed.stderr)


class SimulatedScanner:
    """scanflash-sim-pty, ended by closing its standard input."""

    def __init__(self, program, options):
        self.process = subprocess.Popen(
            [program] + options,
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
        )
        self.slave = self.process.stdout.readline().decode().strip()
        if not self.slave.startswith("/dev/"):
            self.stop()
            raise RuntimeError("scanflash-sim-pty did not start")

    def stop(self):
        """The scanner's summary: commands, blocks and protocol errors, one a line."""
        _, summary = self.process.communicate(timeout=30)
        return summary.decode(errors="replace").splitlines()


def make_firmware(wine, bin_dir, folder):
    with open(os.path.join(folder, "kern.raw"), "wb") as file:
        file.write(bytes((i * 7) & 0xFF for i in range(1500)))
    with open(os.path.join(folder, "flah.raw"), "wb") as file:
        file.write(bytes((i * 13 + 5) & 0xFF for i in range(600)))
    arguments = ["pack", "--format", "bin", "--out", "fw.bin", "--model", "EM7"]
    arguments += ["--block", "kern=kern.raw", "--block", "flah=flah.raw:9"]
    completed = wine.run(os.path.join(bin_dir, "tools", "scanfw.exe"), arguments, folder)
    if completed.returncode != 0:
        raise RuntimeError("scanfw.exe pack failed: %r" % completed.stdout)


def run_program(wine, program, arguments, folder, interrupt_at=None, trace=None,
                end_session_at=None):
    """Runs program, sending SIGINT once its output holds interrupt_at, or ending Wine's
    session once it holds end_session_at, with SCANFLASH_TRACE set to trace when one is given
    and unset otherwise. Returns the output bytes, the standard error text, the exit code and
    whether the interrupt or the end was sent."""
    environment = dict(os.environ)
    environment.pop("SCANFLASH_TRACE", None)
    if trace:
        environment["SCANFLASH_TRACE"] = trace
    errors = tempfile.TemporaryFile()
    process = subprocess.Popen(
        wine.command(program, arguments),
        cwd=folder,
        stdin=subprocess.DEVNULL,
        stdout=subprocess.PIPE,
        stderr=errors,
        env=environment,
    )
    output = b""
    interrupted = False
    deadline = time.monotonic() + PROGRAM_TIME_LIMIT_S
    while True:
        ready, _, _ = select.select([process.stdout], [], [], 0.05)
        if ready:
            chunk = os.read(process.stdout.fileno(), 4096)
            if not chunk:
                break
            output += chunk
        # wine-run.sh ends in exec, so the process is the Wine process of the program once
        # the program has written anything.
        if interrupt_at and not interrupted and interrupt_at.encode() in output:
            process.send_signal(signal.SIGINT)
            interrupted = True
        if end_session_at and not interrupted and end_session_at.encode() in output:
            ending = subprocess.Popen(wine.command("wineboot", ["--end-session"]), cwd=folder,
                                      stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)
            interrupted = True
        if time.monotonic() > deadline:
            process.kill()
            break
    exit_code = process.wait()
    if end_session_at and interrupted:
        ending.wait(timeout=PROGRAM_TIME_LIMIT_S)
    errors.seek(0)
    error_text = errors.read().decode(errors="replace")
    errors.close()
    return output, error_text, exit_code, interrupted


def run_scenario(name, options):
    scenario = SCENARIOS[name]
    wine = Wine(options.wine_run, options.prefix)
    sim_options = scenario.get("sim", [])
    if sim_options is not None and not os.access(options.sim_pty or "", os.X_OK):
        print(
            "wine_update.py: skipped, no native scanflash-sim-pty at %r; build the default "
            "preset first (make test does)" % options.sim_pty
        )
        return SKIPPED
    # Makes the prefix if this is the build directory's first Wine run.
    subprocess.run([options.wine_run, options.prefix], check=True)
    link = os.path.join(options.prefix, "dosdevices", COM_PORT)
    scanner = None
    folder = tempfile.mkdtemp(prefix="scanflash-wine-")
    try:
        wine.set_registry(scenario["registry"], folder)
        if os.path.lexists(link):
            os.remove(link)
        if sim_options is not None:
            scanner = SimulatedScanner(options.sim_pty, sim_options)
            os.symlink(scanner.slave, link)
        make_firmware(wine, options.bin_dir, folder)
        program = scenario.get("program", "scanflash.exe")
        program_path = os.path.join(options.bin_dir, "src", "platform", "win32", program)
        if program == "scanflash-demo.exe":
            program_path = os.path.join(options.bin_dir, "sim", program)
        if program == "scanfw.exe":
            program_path = os.path.join(options.bin_dir, "tools", program)
        if "program_name" in scenario:
            renamed = os.path.join(folder, scenario["program_name"])
            shutil.copy(program_path, renamed)
            program_path = renamed
        before = sorted(os.listdir(folder))
        output, errors, exit_code, interrupted = run_program(
            wine,
            program_path,
            scenario.get("arguments", ["-file:fw.bin"]),
            folder,
            scenario.get("interrupt_at"),
            scenario.get("trace"),
            scenario.get("end_session_at"),
        )
        summary = scanner.stop() if scanner else []
        scanner = None
        left = sorted(set(os.listdir(folder)) - set(before))
        trace_path = os.path.join(folder, "trace.log")
        trace = None
        if os.path.exists(trace_path):
            with open(trace_path, "rb") as file:
                trace = file.read().decode(errors="replace")
        if scenario.get("devices"):
            return judge_devices(scenario, output, exit_code, left)
        return judge(scenario, output, errors, exit_code, interrupted, summary, left, trace)
    finally:
        if scanner:
            scanner.stop()
        if os.path.lexists(link):
            os.remove(link)
        wine.set_registry([], folder)
        shutil.rmtree(folder)


def judge(scenario, output, errors, exit_code, interrupted, summary, left, trace):
    expected = scenario["transcript"].replace("\n", "\r\n").encode()
    failures = []
    if output != expected and not (scenario.get("transcript_begins") and output.startswith(expected)):
        failures.append("output\n  expected %r\n  got      %r" % (expected, output))
    if exit_code != scenario["exit_code"]:
        failures.append("exit code %d, expected %d" % (exit_code, scenario["exit_code"]))
    # Only a trace that works leaves a file behind, and only where SCANFLASH_TRACE points.
    expected_left = ["trace.log"] if scenario.get("trace_lines") else []
    if left != expected_left:
        failures.append("files left behind: %r, expected %r" % (left, expected_left))
    at = 0
    for line in scenario.get("trace_lines", []):
        found = (trace or "").find(line, at)
        if found < 0:
            failures.append("the trace lacks, in its place, %r:\n%s" % (line, trace))
            break
        at = found + len(line)
    if "errors" in scenario:
        if errors.count(scenario["errors"]) != 1 or errors.count("trace file") != 1:
            failures.append("standard error: %r, expected %r once" % (errors, scenario["errors"]))
    if (scenario.get("interrupt_at") or scenario.get("end_session_at")) and not interrupted:
        failures.append("the interrupt or the end of the session was never sent")
    if scenario.get("written"):
        errors = [line for line in summary if line.startswith("protocol error")]
        blocks = [line for line in summary if line.startswith("block ")]
        if blocks != BLOCKS_WRITTEN or errors:
            failures.append("the scanner did not receive the firmware whole: %r" % summary)
    for failure in failures:
        print("FAILED: " + failure)
    return 1 if failures else 0


def judge_devices(scenario, output, exit_code, left):
    failures = []
    if exit_code != scenario["exit_code"]:
        failures.append("exit code %d, expected %d" % (exit_code, scenario["exit_code"]))
    if left:
        failures.append("files left behind: %r" % left)
    try:
        document = json.loads(output.decode())
    except ValueError as error:
        document = None
        failures.append("no JSON document (%s): %r" % (error, output))
    if document is not None:
        seen = [
            (c["source"], c["verdict"], c["vendorId"], c["productId"], c["portName"])
            for c in document["candidates"]
        ]
        for candidate in DEVICES_SEEN:
            if candidate not in seen:
                failures.append("candidate %r missing from %r" % (candidate, seen))
        board = [c for c in document["candidates"] if c["path"] == "ACPI\\SFT0502\\1"]
        if [c["verdict"] for c in board] != ["not-usb-port"]:
            failures.append("the main-board port: %r" % board)
        expected_outcome = {
            "resultCode": 0,
            "exitCode": None,
            "device": {
                "path": "\\\\.\\COM7",
                "vendorId": "6666",
                "productId": "0007",
                "interface": None,
                "linkKind": "serial",
            },
            "text": "exactly one path to exactly one scanner",
        }
        if document["outcome"] != expected_outcome:
            failures.append("outcome %r, expected %r" % (document["outcome"], expected_outcome))
    for failure in failures:
        print("FAILED: " + failure)
    return 1 if failures else 0


def start_program(wine, arguments, folder):
    return subprocess.Popen(
        wine.command(os.path.join(folder, "scanflash.exe"), arguments),
        cwd=folder,
        stdin=subprocess.DEVNULL,
        stdout=subprocess.PIPE,
        stderr=subprocess.DEVNULL,
    )


def run_side_by_side(options):
    """Two scanners updated at once by two processes, each naming its own."""
    if not os.access(options.sim_pty or "", os.X_OK):
        print("wine_update.py: skipped, no native scanflash-sim-pty at %r" % options.sim_pty)
        return SKIPPED
    wine = Wine(options.wine_run, options.prefix)
    subprocess.run([options.wine_run, options.prefix], check=True)
    ports = ["com7", "com8"]
    links = [os.path.join(options.prefix, "dosdevices", port) for port in ports]
    folder = tempfile.mkdtemp(prefix="scanflash-wine-")
    scanners = []
    failures = []
    try:
        wine.set_registry(
            serial_scanner(location="Port_#0001.Hub_#0001")
            + serial_scanner("5&12345&0&2", port="COM8", location="Port_#0002.Hub_#0001"),
            folder,
        )
        for link in links:
            if os.path.lexists(link):
                os.remove(link)
            scanners.append(SimulatedScanner(options.sim_pty, ["--write-time=500"]))
            os.symlink(scanners[-1].slave, link)
        make_firmware(wine, options.bin_dir, folder)
        shutil.copy(os.path.join(options.bin_dir, "src", "platform", "win32", "scanflash.exe"),
                    folder)
        selectors = ["-device:COM7", "-device:usb:Port_#0002.Hub_#0001"]
        runs = [start_program(wine, ["-file:fw.bin", selector], folder) for selector in selectors]
        for selector, run in zip(selectors, runs):
            output, _ = run.communicate(timeout=PROGRAM_TIME_LIMIT_S)
            if run.returncode != 15 or output != SUCCESS.replace("\n", "\r\n").encode():
                failures.append("%s: exit code %d, output %r" % (selector, run.returncode, output))
        for port, scanner in zip(ports, scanners):
            summary = scanner.stop()
            if [line for line in summary if line.startswith("block ")] != BLOCKS_WRITTEN:
                failures.append("%s did not receive the firmware whole: %r" % (port, summary))
    finally:
        for scanner in scanners:
            scanner.stop()
        for link in links:
            if os.path.lexists(link):
                os.remove(link)
        wine.set_registry([], folder)
        shutil.rmtree(folder)
    for failure in failures:
        print("FAILED: " + failure)
    return 1 if failures else 0


def run_database_tests(options):
    wine = Wine(options.wine_run, options.prefix)
    subprocess.run([options.wine_run, options.prefix], check=True)
    folder = tempfile.mkdtemp(prefix="scanflash-wine-")
    try:
        wine.set_registry(DATABASE_ENTRIES, folder)
        completed = subprocess.run(
            wine.command(options.database_tests, []), cwd=folder, timeout=PROGRAM_TIME_LIMIT_S
        )
        return completed.returncode
    finally:
        wine.set_registry([], folder)
        shutil.rmtree(folder)


def main(argv):
    parser = argparse.ArgumentParser(usage=__doc__)
    parser.add_argument("scenario", choices=sorted(SCENARIOS) + ["database", "side-by-side"])
    parser.add_argument("wine_run")
    parser.add_argument("prefix")
    parser.add_argument("--bin-dir", required=True)
    parser.add_argument("--sim-pty")
    parser.add_argument("--database-tests")
    options = parser.parse_args(argv[1:])
    if options.scenario == "database":
        return run_database_tests(options)
    if options.scenario == "side-by-side":
        return run_side_by_side(options)
    return run_scenario(options.scenario, options)


if __name__ == "__main__":
    sys.exit(main(sys.argv))
