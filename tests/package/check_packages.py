#!/usr/bin/env python3
"""Checks the release artefacts that scripts/package.sh built, one check per run.

usage: check_packages.py CHECK --version V --source-dir DIR --zip-dir DIR --deb-dir DIR
                         [--architecture x64|x86] [--wine-run SCRIPT --wine-prefix DIR]

CHECK is one of:
  zip-contents       the zip's name and listing; README.txt is the README with CRLF line ends
  exe-resources      both exes read back: console programs for the zip's architecture,
                     stripped, no runtime DLLs, the version resource and the application
                     manifest, whose processorArchitecture is the exes'
  wine-usage         the zipped scanflash.exe and scanfw.exe run under Wine (32-bit Wine for
                     x86: skipped, exit status 77, where it cannot run)
  deb-contents       the .deb's name, control fields and file list, the udev rule, the
                     compressed manual pages and documents
  deb-install        dpkg installs the .deb into a throw-away root, its programs run there,
                     and dpkg removes it again
  maintainer-script  the .deb's postinst and postrm against a stand-in udevadm
  lintian            lintian reports no error and no warning
  man-pages          the installed manual pages pass mandoc's lint and cover the usage texts

The Windows checks read the zip of --architecture (x64 unless given).

Exit status: 0 when the check passes, 1 when it fails, 77 when it cannot run here.
"""

import argparse
import gzip
import io
import os
import re
import shutil
import stat
import struct
import subprocess
import sys
import tarfile
import tempfile
import xml.etree.ElementTree as ElementTree
import zipfile

PROGRAM_TIME_LIMIT_S = 120

SCANFLASH_USAGE = (
    'Usage: "{name}" [-force] -file:xxx.bin2\n'
    "Options:\n"
    "  -force                   Optional. Not check whether the firmware file is suitable for "
    "the device.\n"
    "  -file:firmware_filename  Specify the firmware file to use\n"
)
EXIT_BAD_REQUEST = 11
EXIT_SKIPPED = 77

# The Windows versions the manifest declares, 7 to 11 (10 and 11 share one).
SUPPORTED_OS = {
    "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}": "Windows 7",
    "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}": "Windows 8",
    "{1f676c76-80e1-4239-95bb-83d0f6d0da78}": "Windows 8.1",
    "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}": "Windows 10 and 11",
}
ASM_V1 = "{urn:schemas-microsoft-com:asm.v1}"
COMPATIBILITY = "{urn:schemas-microsoft-com:compatibility.v1}"
SETTINGS_2016 = "{http://schemas.microsoft.com/SMI/2016/WindowsSettings}"
SETTINGS_2019 = "{http://schemas.microsoft.com/SMI/2019/WindowsSettings}"

RT_VERSION = 16
RT_MANIFEST = 24
CREATEPROCESS_MANIFEST_RESOURCE_ID = 1
VS_VERSION_INFO_ID = 1
VS_FIXEDFILEINFO_SIGNATURE = 0xFEEF04BD
VFT_APP = 1
IMAGE_FILE_MACHINE_AMD64 = 0x8664
IMAGE_FILE_MACHINE_I386 = 0x14C
PE32 = 0x10B
PE32_PLUS = 0x20B
# Each zip's architecture: the exes' machine and optional header, and the manifest's name for it.
WINDOWS_ARCHITECTURES = {
    "x64": (IMAGE_FILE_MACHINE_AMD64, PE32_PLUS, "amd64"),
    "x86": (IMAGE_FILE_MACHINE_I386, PE32, "x86"),
}
IMAGE_SUBSYSTEM_WINDOWS_CUI = 3
# DLLs a static mingw-w64 build must not need beside the exe.
RUNTIME_DLL = re.compile(r"^lib(stdc\+\+|gcc|winpthread)", re.IGNORECASE)

DEB_FILES = {
    "usr/bin/scanflash": 0o755,
    "usr/bin/scanfw": 0o755,
    "usr/lib/udev/rules.d/70-scanflash.rules": 0o644,
    "usr/share/man/man1/scanflash.1.gz": 0o644,
    "usr/share/man/man1/scanfw.1.gz": 0o644,
    "usr/share/doc/scanflash/README.md.gz": 0o644,
    "usr/share/doc/scanflash/changelog.gz": 0o644,
    "usr/share/doc/scanflash/copyright": 0o644,
}
MAINTAINER_SCRIPTS = ("postinst", "postrm")
# Dependencies dpkg-shlibdeps finds for two C++ programs.
SHARED_LIBRARY_PACKAGES = ("libc6", "libstdc++6")


class Failures:
    def __init__(self):
        self.messages = []

    def expect(self, condition, message):
        if not condition:
            self.messages.append(message)
        return condition

    def equal(self, got, expected, what):
        return self.expect(got == expected, "%s: expected %r, got %r" % (what, expected, got))


def run(command, **options):
    options.setdefault("capture_output", True)
    options.setdefault("timeout", PROGRAM_TIME_LIMIT_S)
    return subprocess.run(command, stdin=subprocess.DEVNULL, **options)


def zip_name(options):
    return "scanflash-%s-windows-%s" % (options.version, options.architecture)


def deb_architecture():
    return run(["dpkg", "--print-architecture"], check=True, text=True).stdout.strip()


def artefact(directory, name):
    path = os.path.join(directory, name)
    if not os.path.isfile(path):
        print("FAILED: %s is missing; scripts/package.sh builds it" % path)
        sys.exit(1)
    return path


def zip_path(options):
    return artefact(options.zip_dir, zip_name(options) + ".zip")


def deb_path(options):
    return artefact(options.deb_dir, "scanflash_%s_%s.deb" % (options.version, deb_architecture()))


def readme_as_text(options):
    with open(os.path.join(options.source_dir, "README.md"), "rb") as readme:
        return readme.read().replace(b"\n", b"\r\n")


# ---- the Windows zip ----


def check_zip_contents(options, failures):
    top = zip_name(options) + "/"
    with zipfile.ZipFile(zip_path(options)) as archive:
        names = sorted(info.filename for info in archive.infolist() if not info.is_dir())
        failures.equal(
            names, sorted(top + name for name in ("README.txt", "scanflash.exe", "scanfw.exe")),
            "files in the zip")
        if top + "README.txt" in names:
            failures.expect(archive.read(top + "README.txt") == readme_as_text(options),
                            "README.txt is not README.md with CRLF line ends")
        for name in names:
            print("in the zip: %s, %d bytes" % (name, archive.getinfo(name).file_size))


class PortableExecutable:
    """The parts of a PE32 or PE32+ file the checks read: headers, sections, imports,
    resources."""

    def __init__(self, data):
        self.data = data
        if data[:2] != b"MZ":
            raise ValueError("no MZ header")
        pe = self.u32(0x3C)
        if data[pe:pe + 4] != b"PE\0\0":
            raise ValueError("no PE signature")
        coff = pe + 4
        (self.machine, section_count, _, self.symbol_table, self.symbol_count, optional_size,
         _) = struct.unpack_from("<HHIIIHH", data, coff)
        optional = coff + 20
        self.magic = self.u16(optional)
        self.subsystem = self.u16(optional + 68)
        # PE32+ widens the image base and the four stack and heap sizes to 64 bits.
        directories_at = optional + (112 if self.magic == PE32_PLUS else 96)
        directory_count = self.u32(directories_at - 4)
        self.directories = [struct.unpack_from("<II", data, directories_at + 8 * i)
                            for i in range(directory_count)]
        self.sections = []
        for i in range(section_count):
            at = optional + optional_size + 40 * i
            name = data[at:at + 8].rstrip(b"\0").decode("ascii", "replace")
            if name.startswith("/"):
                # A name longer than 8 characters (".eh_frame" of a 32-bit build, ".debug_info")
                # lies in the string table, which follows the symbol table.
                strings = self.symbol_table + 18 * self.symbol_count
                name_at = strings + int(name[1:])
                name = data[name_at:data.index(b"\0", name_at)].decode("ascii", "replace")
            virtual_size, address, raw_size, raw_at = struct.unpack_from("<IIII", data, at + 8)
            self.sections.append((name, address, max(virtual_size, raw_size), raw_at))

    def u16(self, at):
        return struct.unpack_from("<H", self.data, at)[0]

    def u32(self, at):
        return struct.unpack_from("<I", self.data, at)[0]

    def offset(self, rva):
        for _, address, size, raw_at in self.sections:
            if address <= rva < address + size:
                return raw_at + rva - address
        raise ValueError("address 0x%x lies in no section" % rva)

    def text(self, rva):
        at = self.offset(rva)
        return self.data[at:self.data.index(b"\0", at)].decode("ascii", "replace")

    def imported_dlls(self):
        rva, size = self.directories[1]
        names = []
        if size == 0:
            return names
        at = self.offset(rva)
        while True:
            descriptor = struct.unpack_from("<IIIII", self.data, at)
            if descriptor == (0, 0, 0, 0, 0):
                return names
            names.append(self.text(descriptor[3]))
            at += 20

    def resources(self):
        """{(type, name, language): bytes}; names that are strings are left out."""
        rva, size = self.directories[2]
        found = {}
        if size == 0:
            return found
        base = self.offset(rva)

        def walk(directory, path):
            named, numbered = struct.unpack_from("<HH", self.data, base + directory + 12)
            for i in range(named + numbered):
                ident, target = struct.unpack_from("<II", self.data, base + directory + 16 + 8 * i)
                if ident & 0x80000000:
                    continue
                if target & 0x80000000:
                    walk(target & 0x7FFFFFFF, path + (ident,))
                else:
                    data_rva, data_size = struct.unpack_from("<II", self.data, base + target)
                    at = self.offset(data_rva)
                    found[path + (ident,)] = self.data[at:at + data_size]

        walk(0, ())
        return found


def align4(at):
    return (at + 3) & ~3


def version_block(data, at=0):
    """One node of a VS_VERSIONINFO tree: (key, value, children), and where it ends."""
    length, value_length, kind = struct.unpack_from("<HHH", data, at)
    end = at + length
    key_end = at + 6
    while data[key_end:key_end + 2] != b"\0\0":
        key_end += 2
    key = data[at + 6:key_end].decode("utf-16-le")
    value_at = align4(key_end + 2)
    if kind == 1 and value_length > 0:
        # A String: its text runs to the end of the node, zero-terminated and padded.
        value = data[value_at:end].decode("utf-16-le").split("\0")[0]
        return (key, value, []), end
    value = data[value_at:value_at + value_length]
    children = []
    child_at = align4(value_at + value_length)
    while child_at < end:
        child, child_end = version_block(data, child_at)
        children.append(child)
        child_at = align4(child_end)
    return (key, value, children), end


def check_version_resource(name, data, version, failures):
    (key, fixed, children), _ = version_block(data)
    failures.equal(key, "VS_VERSION_INFO", name + " version resource key")
    numbers = tuple(int(part) for part in version.split("."))
    if failures.expect(len(fixed) >= 52, name + ": no fixed file information"):
        fields = struct.unpack_from("<13I", fixed)
        failures.equal(hex(fields[0]), hex(VS_FIXEDFILEINFO_SIGNATURE), name + " signature")
        for what, (high, low) in (("file", fields[2:4]), ("product", fields[4:6])):
            failures.equal((high >> 16, high & 0xFFFF, low >> 16, low & 0xFFFF), numbers,
                           "%s fixed %s version" % (name, what))
        failures.equal(fields[9], VFT_APP, name + " file type")
    strings = {}
    translations = []
    for child_key, _, grandchildren in children:
        if child_key == "StringFileInfo":
            for table_key, _, entries in grandchildren:
                strings[table_key.upper()] = {entry[0]: entry[1] for entry in entries}
        elif child_key == "VarFileInfo":
            for var_key, var_value, _ in grandchildren:
                if var_key == "Translation":
                    translations += ["%04X%04X" % pair for pair in struct.iter_unpack(
                        "<HH", var_value)]
    failures.expect(strings, name + ": no StringFileInfo table")
    failures.equal(sorted(strings), sorted(translations),
                   name + " string tables and the translations that name them")
    expected = {
        "FileVersion": version,
        "ProductVersion": version,
        "ProductName": "scanflash",
        "OriginalFilename": name,
        "InternalName": name[:-len(".exe")],
    }
    for table, values in strings.items():
        for field, value in expected.items():
            failures.equal(values.get(field), value, "%s %s (table %s)" % (name, field, table))
        failures.expect(values.get("FileDescription"), name + ": no FileDescription")
        shown = ", ".join("%s %r" % item for item in sorted(values.items()))
        print("%s version resource: %s" % (name, shown))


def check_manifest(name, data, version, architecture, failures):
    root = ElementTree.fromstring(data)
    failures.equal(root.tag, ASM_V1 + "assembly", name + " manifest root")
    identity = root.find(ASM_V1 + "assemblyIdentity")
    if failures.expect(identity is not None, name + " manifest: no assemblyIdentity"):
        failures.equal(identity.get("version"), version, name + " manifest version")
        failures.equal(identity.get("processorArchitecture"), architecture,
                       name + " manifest processorArchitecture")
    levels = [element.get("level") for element in root.iter()
              if element.tag.endswith("}requestedExecutionLevel")]
    failures.equal(levels, ["asInvoker"], name + " requested execution levels")
    systems = [element.get("Id") for element in root.iter(COMPATIBILITY + "supportedOS")]
    failures.equal(sorted(systems), sorted(SUPPORTED_OS), name + " supportedOS entries")
    settings = {element.tag: (element.text or "").strip()
                for element in root.iter() if element.tag.startswith("{http://schemas")}
    failures.equal(settings.get(SETTINGS_2019 + "activeCodePage"), "UTF-8",
                   name + " activeCodePage")
    failures.equal(settings.get(SETTINGS_2016 + "longPathAware"), "true",
                   name + " longPathAware")
    print("%s manifest: %s, asInvoker, UTF-8, long paths, %s" %
          (name, identity.get("processorArchitecture") if identity is not None else "?",
           ", ".join(SUPPORTED_OS[system] for system in systems if system in SUPPORTED_OS)))


def check_exe_resources(options, failures):
    with zipfile.ZipFile(zip_path(options)) as archive:
        for name in ("scanflash.exe", "scanfw.exe"):
            exe = PortableExecutable(archive.read(zip_name(options) + "/" + name))
            machine, magic, manifest_architecture = WINDOWS_ARCHITECTURES[options.architecture]
            failures.equal(hex(exe.machine), hex(machine), name + " machine")
            failures.equal(hex(exe.magic), hex(magic), name + " optional header")
            failures.equal(exe.subsystem, IMAGE_SUBSYSTEM_WINDOWS_CUI, name + " subsystem")
            # A stripped exe keeps the string table for its long section names, which the
            # symbol table's position locates: only the symbols must be gone.
            failures.equal(exe.symbol_count, 0, name + " symbols (stripped)")
            debug = [section[0] for section in exe.sections if section[0].startswith(".debug")]
            failures.equal(debug, [], name + " debug sections")
            dlls = exe.imported_dlls()
            failures.equal([dll for dll in dlls if RUNTIME_DLL.match(dll)], [],
                           name + " runtime DLLs (static link)")
            resources = exe.resources()
            versions = [key for key in resources if key[0] == RT_VERSION]
            manifests = [key for key in resources if key[0] == RT_MANIFEST]
            failures.equal([key[1] for key in versions], [VS_VERSION_INFO_ID],
                           name + " version resources")
            failures.equal([key[1] for key in manifests], [CREATEPROCESS_MANIFEST_RESOURCE_ID],
                           name + " manifests")
            for key in versions:
                check_version_resource(name, resources[key], options.version, failures)
            for key in manifests:
                check_manifest(name, resources[key], options.version, manifest_architecture,
                               failures)
            print("%s imports %s" % (name, ", ".join(dlls)))


def check_wine_usage(options, failures):
    if options.architecture == "x86":
        refused = run(["bash", os.path.join(options.source_dir, "scripts", "have-wine32.sh")],
                      text=True)
        if refused.returncode != 0:
            print("skipped: %s" % refused.stdout.strip())
            sys.exit(EXIT_SKIPPED)
    folder = tempfile.mkdtemp(prefix="scanflash-zip-")
    try:
        with zipfile.ZipFile(zip_path(options)) as archive:
            archive.extractall(folder)
        programs = os.path.join(folder, zip_name(options))
        run([options.wine_run, options.wine_prefix], check=True)
        ran = run([options.wine_run, options.wine_prefix,
                   os.path.join(programs, "scanflash.exe")], cwd=folder)
        expected = ("scanflash.exe  Version: %s\n" % options.version +
                    SCANFLASH_USAGE.format(name="scanflash.exe")).replace("\n", "\r\n")
        failures.equal(ran.stdout.decode("utf-8", "replace"), expected, "scanflash.exe output")
        failures.equal(ran.returncode, EXIT_BAD_REQUEST, "scanflash.exe exit code")
        ran = run([options.wine_run, options.wine_prefix, os.path.join(programs, "scanfw.exe"),
                   "help"], cwd=folder)
        failures.expect(ran.stdout.startswith(b"Usage:\r\n  scanfw info"),
                        "scanfw.exe help printed %r" % ran.stdout[:80])
        failures.equal(ran.returncode, 0, "scanfw.exe help exit code")
    finally:
        shutil.rmtree(folder)


# ---- the Debian package ----


def deb_members(path):
    """(path, mode, owner, group, is_dir) of every member of the data archive."""
    listing = run(["dpkg-deb", "--fsys-tarfile", path], check=True).stdout
    with tarfile.open(fileobj=io.BytesIO(listing)) as archive:
        return [(member.name.lstrip("./"), member.mode, member.uname, member.gname,
                 member.isdir(), archive.extractfile(member).read() if member.isfile() else None)
                for member in archive.getmembers() if member.name not in ("./", ".")]


def control_scripts(path, folder):
    run(["dpkg-deb", "--control", path, folder], check=True)
    return {name: os.path.join(folder, name) for name in os.listdir(folder)}


def gzip_made_by_debian_rules(data):
    # gzip -n: no file name (flag bit 3) and no time stamp in the header.
    return data[:3] == b"\x1f\x8b\x08" and not data[3] & 0x08 and data[4:8] == b"\0\0\0\0"


def elf_section_names(data):
    """The section names of a 64-bit little-endian ELF file, or [] for anything else."""
    if data[:6] != b"\x7fELF\x02\x01":
        return []
    header_at, = struct.unpack_from("<Q", data, 0x28)
    entry_size, count, names_index = struct.unpack_from("<HHH", data, 0x3A)
    headers = [data[header_at + entry_size * i:header_at + entry_size * (i + 1)]
               for i in range(count)]
    names_at, = struct.unpack_from("<Q", headers[names_index], 0x18)
    names = []
    for header in headers:
        start = names_at + struct.unpack_from("<I", header, 0)[0]
        names.append(data[start:data.index(b"\0", start)].decode("ascii", "replace"))
    return names


def check_deb_contents(options, failures):
    path = deb_path(options)
    fields = {}
    for line in run(["dpkg-deb", "--field", path], check=True, text=True).stdout.splitlines():
        if line and not line.startswith(" "):
            key, _, value = line.partition(":")
            fields[key] = value.strip()
    failures.equal(fields.get("Package"), "scanflash", "Package")
    failures.equal(fields.get("Version"), options.version, "Version")
    failures.equal(fields.get("Architecture"), deb_architecture(), "Architecture")
    depends = [entry.strip() for entry in fields.get("Depends", "").split(",")]
    for package in SHARED_LIBRARY_PACKAGES:
        failures.expect(any(re.match(re.escape(package) + r" \(>= [^)]+\)$", entry)
                            for entry in depends),
                        "Depends %r names no versioned %s" % (depends, package))
    failures.expect(re.match(r"[^<>]+ <[^@ ]+@[^> ]+>$", fields.get("Maintainer", "")),
                    "Maintainer %r is no name with an address" % fields.get("Maintainer"))
    print("Depends: " + ", ".join(depends))

    members = deb_members(path)
    files = {name: (mode, data) for name, mode, _, _, is_dir, data in members if not is_dir}
    failures.equal(sorted(files), sorted(DEB_FILES), "files in the package")
    for name, mode in DEB_FILES.items():
        if name in files:
            failures.equal(oct(files[name][0]), oct(mode), name + " mode")
    for name, mode, owner, group, is_dir, _ in members:
        failures.equal((owner, group), ("root", "root"), name + " owner")
        if is_dir:
            failures.equal(oct(mode), oct(0o755), name + " mode")
    rule = os.path.join(options.source_dir, "packaging", "linux", "70-scanflash.rules")
    with open(rule, "rb") as source:
        failures.expect(files.get("usr/lib/udev/rules.d/70-scanflash.rules", (0, b""))[1] ==
                        source.read(), "the installed udev rule differs from " + rule)
    with open(os.path.join(options.source_dir, "README.md"), "rb") as source:
        readme = source.read()
    for name, (_, data) in files.items():
        if name.endswith(".gz"):
            failures.expect(gzip_made_by_debian_rules(data),
                            name + " is not compressed with gzip -n")
    for name, (_, data) in files.items():
        if name.startswith("usr/bin/"):
            sections = elf_section_names(data)
            failures.expect(sections, name + " is no 64-bit ELF program")
            failures.equal([section for section in sections
                            if section == ".symtab" or section.startswith(".debug")], [],
                           name + " symbol and debug sections (stripped)")
    compressed = {name: gzip.decompress(data) for name, (_, data) in files.items()
                  if name.endswith(".gz")}
    failures.expect(compressed.get("usr/share/doc/scanflash/README.md.gz") == readme,
                    "README.md.gz is not README.md")
    changelog = compressed.get("usr/share/doc/scanflash/changelog.gz", b"").decode()
    failures.expect(changelog.startswith("scanflash (%s) " % options.version),
                    "changelog starts %r" % changelog[:40])

    folder = tempfile.mkdtemp(prefix="scanflash-control-")
    try:
        scripts = control_scripts(path, folder)
        for name in MAINTAINER_SCRIPTS:
            if failures.expect(name in scripts, "no %s in the package" % name):
                failures.equal(oct(stat.S_IMODE(os.stat(scripts[name]).st_mode)), oct(0o755),
                               name + " mode")
    finally:
        shutil.rmtree(folder)


def depended_packages(path):
    depends = run(["dpkg-deb", "--field", path, "Depends"], check=True, text=True).stdout
    return [alternative.split("(")[0].strip() for entry in depends.split(",")
            for alternative in entry.split("|")[:1] if alternative.strip()]


def make_dpkg_root(folder, path):
    """A root for dpkg --root whose database holds this machine's entries of the packages the
    .deb depends on, so dpkg judges the Depends field against what is installed here."""
    admin = os.path.join(folder, "var", "lib", "dpkg")
    for sub in ("info", "updates", "triggers"):
        os.makedirs(os.path.join(admin, sub))
    os.makedirs(os.path.join(folder, "var", "log"))
    stanzas = [run(["dpkg-query", "--status", package], check=True, text=True).stdout.strip()
               for package in depended_packages(path)]
    with open(os.path.join(admin, "status"), "w") as status:
        status.write("".join(stanza + "\n\n" for stanza in stanzas))
    open(os.path.join(admin, "available"), "w").close()


def dpkg(folder, *arguments):
    # The maintainer scripts run outside a chroot with DPKG_ROOT set, which tells them that
    # the packages go into another root; they leave this machine's udev alone.
    log = os.path.join(folder, "var", "log", "dpkg.log")
    command = ["dpkg", "--root=" + folder, "--log=" + log, "--force-script-chrootless"]
    command += list(arguments)
    if os.geteuid() != 0:
        command = ["fakeroot"] + command
    environment = dict(os.environ)
    environment["PATH"] = environment.get("PATH", "") + ":/usr/sbin:/sbin"
    return run(command, env=environment, text=True)


def package_status(folder):
    ran = dpkg(folder, "--status", "scanflash")
    for line in ran.stdout.splitlines():
        if line.startswith("Status:"):
            return line.split(":", 1)[1].strip()
    return "not-installed"


def check_deb_install(options, failures):
    path = deb_path(options)
    folder = tempfile.mkdtemp(prefix="scanflash-root-")
    try:
        make_dpkg_root(folder, path)
        installed = dpkg(folder, "--install", path)
        if not failures.equal(installed.returncode, 0, "dpkg --install exit code"):
            print(installed.stdout + installed.stderr)
            return
        failures.equal(package_status(folder), "install ok installed", "status after install")
        for name, mode in DEB_FILES.items():
            target = os.path.join(folder, name)
            if failures.expect(os.path.isfile(target), name + " not installed"):
                failures.equal(oct(stat.S_IMODE(os.stat(target).st_mode)), oct(mode),
                               name + " installed mode")
        programs = os.path.join(folder, "usr", "bin")
        ran = run([os.path.join(programs, "scanflash")], text=True)
        failures.equal(ran.stdout, "scanflash  Version: %s\n" % options.version +
                       SCANFLASH_USAGE.format(name="scanflash"), "installed scanflash output")
        failures.equal(ran.returncode, EXIT_BAD_REQUEST, "installed scanflash exit code")
        image = os.path.join(folder, "kern.img")
        with open(image, "wb") as block:
            block.write(bytes(range(256)) * 8)
        firmware = os.path.join(folder, "fw.bin")
        packed = run([os.path.join(programs, "scanfw"), "pack", "--format", "bin", "--out",
                      firmware, "--model", "EM7", "--block", "kern=" + image], text=True)
        failures.equal(packed.returncode, 0, "installed scanfw pack exit code")
        shown = run([os.path.join(programs, "scanfw"), "info", firmware], text=True)
        failures.equal(shown.returncode, 0, "installed scanfw info exit code")
        failures.expect("kern (2048 bytes)" in shown.stdout,
                        "scanfw info shows no 2048-byte kern block:\n" + shown.stdout)
        print("installed into %s: scanflash and scanfw ran there" % folder)

        removed = dpkg(folder, "--purge", "scanflash")
        failures.equal(removed.returncode, 0, "dpkg --purge exit code")
        failures.equal(package_status(folder), "not-installed", "status after purge")
        left = [name for name in DEB_FILES if os.path.lexists(os.path.join(folder, name))]
        failures.equal(left, [], "files left after purge")
    finally:
        shutil.rmtree(folder)


FAKE_UDEVADM = """#!/bin/sh
echo "$*" >>"$UDEVADM_LOG"
if [ "$*" = "control --ping" ]; then
    exit "$UDEVADM_PING_STATUS"
fi
exit "$UDEVADM_STATUS"
"""


def rule_subsystems(options):
    rule = os.path.join(options.source_dir, "packaging", "linux", "70-scanflash.rules")
    with open(rule) as text:
        return sorted(set(re.findall(r'\bSUBSYSTEM=="([^"]+)"', text.read())))


def check_maintainer_script(options, failures):
    reload_calls = [
        "control --ping",
        "control --reload-rules",
        "trigger --action=change " + " ".join(
            "--subsystem-match=" + subsystem for subsystem in rule_subsystems(options)),
    ]
    # script, argument, udev (absent, stopped, running, failing), DPKG_ROOT, udevadm calls
    cases = [
        ("postinst", "configure", "running", None, reload_calls),
        ("postinst", "configure", "absent", None, []),
        ("postinst", "configure", "stopped", None, reload_calls[:1]),
        ("postinst", "configure", "failing", None, reload_calls),
        ("postinst", "configure", "running", "/srv/other-root", []),
        ("postinst", "abort-upgrade", "running", None, []),
        ("postrm", "remove", "running", None, reload_calls),
        ("postrm", "remove", "absent", None, []),
        ("postrm", "remove", "stopped", None, reload_calls[:1]),
        ("postrm", "purge", "running", None, []),
        ("postrm", "upgrade", "running", None, []),
    ]
    statuses = {"absent": (0, 0), "stopped": (1, 0), "running": (0, 0), "failing": (0, 1)}
    folder = tempfile.mkdtemp(prefix="scanflash-scripts-")
    try:
        scripts = control_scripts(deb_path(options), os.path.join(folder, "control"))
        with_udev = os.path.join(folder, "with-udev")
        without_udev = os.path.join(folder, "without-udev")
        os.makedirs(with_udev)
        os.makedirs(without_udev)
        udevadm = os.path.join(with_udev, "udevadm")
        with open(udevadm, "w") as fake:
            fake.write(FAKE_UDEVADM)
        os.chmod(udevadm, 0o755)
        log = os.path.join(folder, "udevadm.log")
        for script, argument, udev, dpkg_root, expected in cases:
            if os.path.exists(log):
                os.remove(log)
            ping, status = statuses[udev]
            environment = {
                "PATH": without_udev if udev == "absent" else with_udev,
                "UDEVADM_LOG": log,
                "UDEVADM_PING_STATUS": str(ping),
                "UDEVADM_STATUS": str(status),
            }
            if dpkg_root:
                environment["DPKG_ROOT"] = dpkg_root
            ran = run(["/bin/sh", scripts[script], argument], env=environment, text=True)
            calls = open(log).read().splitlines() if os.path.exists(log) else []
            # The order of the trigger's subsystems does not matter.
            calls = [" ".join(sorted(call.split())) for call in calls]
            expected = [" ".join(sorted(call.split())) for call in expected]
            case = "%s %s, udev %s%s" % (script, argument, udev,
                                         ", DPKG_ROOT=" + dpkg_root if dpkg_root else "")
            failures.equal(ran.returncode, 0, case + ": exit status")
            failures.equal(calls, expected, case + ": udevadm calls")
        print("%d maintainer script cases run" % len(cases))
    finally:
        shutil.rmtree(folder)


def check_lintian(options, failures):
    ran = run(["lintian", "--no-tag-display-limit", "--display-info", "--pedantic",
               deb_path(options)], text=True, timeout=300)
    tags = [line for line in ran.stdout.splitlines() if re.match(r"^[A-Z]: ", line)]
    for line in tags:
        print("lintian: " + line)
    serious = [line for line in tags if line[0] in "EW"]
    failures.equal(serious, [], "lintian errors and warnings")
    failures.equal(ran.returncode, 0, "lintian exit status (%s)" % ran.stderr.strip())
    print("lintian: %d errors, %d warnings, %d other tags" % (
        sum(line[0] == "E" for line in tags), sum(line[0] == "W" for line in tags),
        sum(line[0] not in "EW" for line in tags)))


def section(page, title):
    match = re.search(r"^\.SH %s\n(.*?)(?=^\.SH |\Z)" % re.escape(title), page, re.S | re.M)
    return match.group(1) if match else ""


def check_man_pages(options, failures):
    members = {name: data for name, _, _, _, _, data in deb_members(deb_path(options))}
    folder = tempfile.mkdtemp(prefix="scanflash-man-")
    try:
        pages = {}
        for program in ("scanflash", "scanfw"):
            name = "usr/share/man/man1/%s.1.gz" % program
            if not failures.expect(members.get(name), name + " missing"):
                continue
            page = os.path.join(folder, program + ".1")
            with open(page, "wb") as out:
                out.write(gzip.decompress(members[name]))
            with open(page) as text:
                pages[program] = text.read()
            lint = run(["mandoc", "-T", "lint", "-W", "warning", page], text=True)
            failures.equal(lint.stdout + lint.stderr, "", "mandoc -T lint on " + name)
            failures.equal(lint.returncode, 0, "mandoc exit status on " + name)
            style = run(["mandoc", "-T", "lint", "-W", "style", page], text=True)
            for line in (style.stdout + style.stderr).splitlines():
                print("mandoc style note: " + line)
            failures.expect(re.search(r'^\.TH %s 1 \S+ "scanflash %s"' % (
                program.upper(), re.escape(options.version)), pages[program], re.M),
                "%s(1) names no version %s in .TH" % (program, options.version))
            executable = os.path.join(folder, program)
            with open(executable, "wb") as out:
                out.write(members["usr/bin/" + program])
            os.chmod(executable, 0o755)
        if len(pages) != 2:
            return
        usage = run([os.path.join(folder, "scanflash")], text=True).stdout
        for option in re.findall(r"\[?(-[a-z]+:?)", usage.split("\n", 1)[1]):
            failures.expect(option.replace("-", "\\-") in section(pages["scanflash"], "OPTIONS"),
                            "scanflash(1) OPTIONS lacks %s from the usage text" % option)
        with open(os.path.join(options.source_dir, "README.md")) as readme:
            # The table of the "Exit codes" section; later sections may repeat the codes.
            exit_codes = readme.read().split("\n## Exit codes\n", 1)[1].split("\n## ", 1)[0]
            documented = sorted(re.findall(r"^\| (\d+) \|", exit_codes, re.M))
        failures.equal(sorted(re.findall(r"^\.B (\d+)$", section(pages["scanflash"],
                                                                   "EXIT STATUS"), re.M)),
                       documented, "scanflash(1) exit codes against README's table")
        usage = run([os.path.join(folder, "scanfw"), "help"], text=True).stdout
        commands = sorted(set(re.findall(r"^  scanfw ([a-z]+)", usage, re.M)) | {"help"})
        failures.equal(sorted(re.findall(r"^\.SS (\S+)$", section(pages["scanfw"], "COMMANDS"),
                                         re.M)), commands, "scanfw(1) COMMANDS subsections")
        described = section(pages["scanfw"], "COMMANDS")
        for option in sorted(set(re.findall(r"--[a-z0-9-]+", usage))):
            failures.expect(option.replace("-", "\\-") in described,
                            "scanfw(1) COMMANDS describes no %s from the usage text" % option)
        print("manual pages linted and compared with the usage texts and the exit code table")
    finally:
        shutil.rmtree(folder)


CHECKS = {
    "zip-contents": check_zip_contents,
    "exe-resources": check_exe_resources,
    "wine-usage": check_wine_usage,
    "deb-contents": check_deb_contents,
    "deb-install": check_deb_install,
    "maintainer-script": check_maintainer_script,
    "lintian": check_lintian,
    "man-pages": check_man_pages,
}


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("check", choices=sorted(CHECKS))
    parser.add_argument("--version", required=True)
    parser.add_argument("--source-dir", required=True)
    parser.add_argument("--zip-dir", required=True)
    parser.add_argument("--deb-dir", required=True)
    parser.add_argument("--architecture", choices=sorted(WINDOWS_ARCHITECTURES), default="x64")
    parser.add_argument("--wine-run")
    parser.add_argument("--wine-prefix")
    options = parser.parse_args()
    failures = Failures()
    CHECKS[options.check](options, failures)
    for message in failures.messages:
        print("FAILED: " + message)
    if failures.messages:
        return 1
    print("passed: " + options.check)
    return 0


if __name__ == "__main__":
    sys.exit(main())
