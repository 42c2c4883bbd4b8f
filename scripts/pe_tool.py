#!/usr/bin/env python3
"""Finishes and inspects the Windows images of Railwatch (PE32 and PE32+).

  pe_tool.py finish IMAGE [--discardable SECTION]... [--code SECTION]...
      Marks the named sections as executable code (--code) and as discardable
      (--discardable), then writes the image's checksum.
  pe_tool.py check DIST BUILD
      Checks the facts of dist/ (driver, library, tool, archive) and prints each one;
      exits 1 naming every fact that failed.

The PE format is parsed here by hand, so nothing beyond Python 3 is needed.
"""

import os
import re
import struct
import subprocess
import sys
import zipfile

IMAGE_SCN_CNT_CODE = 0x00000020
IMAGE_SCN_MEM_DISCARDABLE = 0x02000000
IMAGE_SCN_MEM_EXECUTE = 0x20000000
IMAGE_SCN_MEM_READ = 0x40000000
IMAGE_SCN_MEM_WRITE = 0x80000000
IMAGE_FILE_DLL = 0x2000

MACHINES = {0x14C: "i386", 0x8664: "AMD64"}
SUBSYSTEMS = {1: "native", 2: "Windows GUI", 3: "Windows console"}
VS_FIXEDFILEINFO_SIGNATURE = 0xFEEF04BD
RT_VERSION = 16
RT_MESSAGETABLE = 11
VFT_DLL = 2
VFT_DRV = 3

VERSION = (1, 0, 0, 1)
DRIVER_INIT_ROUTINES = ["DriverEntry"]
DRIVER_PAGE_ROUTINES = ["DispatchCreateClose", "DriverUnload"]
# The service's Event Log messages (severity bits aside) that railwatch.exe must carry.
TOOL_MESSAGE_IDS = range(1000, 1007)
API_EXPORTS = {
    1: "Railwatch_DeviceClose",
    2: "Railwatch_DeviceOpen",
    3: "Railwatch_Get",
    4: "Railwatch_GetErrorMessage",
    5: "DllMain",
}


class Section:
    def __init__(self, header_offset, raw):
        (name, self.virtual_size, self.rva, self.raw_size, self.raw_offset, _, _, _, _,
         self.characteristics) = struct.unpack("<8sIIIIIIHHI", raw)
        self.name = name.rstrip(b"\0").decode("ascii", "replace")
        self.header_offset = header_offset

    def holds(self, rva):
        return self.rva <= rva < self.rva + max(self.virtual_size, self.raw_size)

    def flags(self):
        names = [(IMAGE_SCN_CNT_CODE, "CODE"), (IMAGE_SCN_MEM_DISCARDABLE, "DISCARDABLE"),
                 (IMAGE_SCN_MEM_EXECUTE, "EXECUTE"), (IMAGE_SCN_MEM_READ, "READ"),
                 (IMAGE_SCN_MEM_WRITE, "WRITE")]
        return "|".join(text for bit, text in names if self.characteristics & bit)


class Image:
    """The headers, sections and directories of one PE image."""

    def __init__(self, path):
        self.path = path
        with open(path, "rb") as f:
            self.data = bytearray(f.read())
        if self.data[:2] != b"MZ":
            raise ValueError(f"{path}: no MZ header")
        self.pe = struct.unpack_from("<I", self.data, 0x3C)[0]
        if self.data[self.pe:self.pe + 4] != b"PE\0\0":
            raise ValueError(f"{path}: no PE signature")
        (self.machine, sections, _, _, _, optional_size,
         self.characteristics) = struct.unpack_from("<HHIIIHH", self.data, self.pe + 4)
        self.optional = self.pe + 24
        self.magic = struct.unpack_from("<H", self.data, self.optional)[0]
        self.pe32_plus = self.magic == 0x20B
        self.entry = struct.unpack_from("<I", self.data, self.optional + 16)[0]
        if self.pe32_plus:
            self.image_base = struct.unpack_from("<Q", self.data, self.optional + 24)[0]
        else:
            self.image_base = struct.unpack_from("<I", self.data, self.optional + 28)[0]
        self.checksum_offset = self.optional + 64
        self.checksum = struct.unpack_from("<I", self.data, self.checksum_offset)[0]
        self.subsystem = struct.unpack_from("<H", self.data, self.optional + 68)[0]
        directories = self.optional + (112 if self.pe32_plus else 96)
        count = struct.unpack_from("<I", self.data, directories - 4)[0]
        self.directories = [struct.unpack_from("<II", self.data, directories + 8 * i)
                            for i in range(count)]
        table = self.optional + optional_size
        self.sections = [Section(table + 40 * i, bytes(self.data[table + 40 * i:table + 40 * i + 40]))
                         for i in range(sections)]

    def section(self, name):
        return next((s for s in self.sections if s.name == name), None)

    def section_of(self, rva):
        return next((s for s in self.sections if s.holds(rva)), None)

    def offset(self, rva):
        section = self.section_of(rva)
        if section is None:
            raise ValueError(f"{self.path}: RVA {rva:#x} lies in no section")
        return section.raw_offset + rva - section.rva

    def u16(self, rva):
        return struct.unpack_from("<H", self.data, self.offset(rva))[0]

    def u32(self, rva):
        return struct.unpack_from("<I", self.data, self.offset(rva))[0]

    def text(self, rva):
        start = self.offset(rva)
        return self.data[start:self.data.index(b"\0", start)].decode("ascii")

    def imports(self):
        """{dll name: [imported names]} from the import directory."""
        rva, size = self.directories[1]
        result = {}
        while size:
            lookup, _, _, name, thunks = struct.unpack_from("<IIIII", self.data, self.offset(rva))
            if name == 0:
                break
            names = []
            entry = lookup or thunks
            step, ordinal_bit = (8, 1 << 63) if self.pe32_plus else (4, 1 << 31)
            while True:
                value = struct.unpack_from("<Q" if self.pe32_plus else "<I", self.data,
                                           self.offset(entry))[0]
                if value == 0:
                    break
                names.append(f"#{value & 0xFFFF}" if value & ordinal_bit else self.text(value + 2))
                entry += step
            result[self.text(name)] = names
            rva += 20
        return result

    def exports(self):
        """(module name, {ordinal: (name or None, rva)}) from the export directory."""
        rva, size = self.directories[0]
        if not size:
            return None, {}
        (_, _, _, _, name, base, functions, names, functions_rva, names_rva,
         ordinals_rva) = struct.unpack_from("<IIHHIIIIIII", self.data, self.offset(rva))
        table = {base + i: [None, self.u32(functions_rva + 4 * i)] for i in range(functions)}
        for i in range(names):
            table[base + self.u16(ordinals_rva + 2 * i)][0] = self.text(self.u32(names_rva + 4 * i))
        return self.text(name), {ordinal: tuple(entry) for ordinal, entry in table.items()
                                 if entry[1] != 0}

    def resource(self, resource_type):
        """The raw data of the first resource of that type (any name, any language), or None."""
        rva, size = self.directories[2]
        if not size:
            return None

        def entries(directory):
            named, numbered = struct.unpack_from("<HH", self.data, self.offset(rva + directory + 12))
            for i in range(named + numbered):
                yield struct.unpack_from("<II", self.data, self.offset(rva + directory + 16 + 8 * i))

        def first_leaf(directory):
            for _, target in entries(directory):
                return first_leaf(target & 0x7FFFFFFF) if target & 0x80000000 else target
            return None

        for ident, target in entries(0):
            if ident == resource_type and target & 0x80000000:
                leaf = first_leaf(target & 0x7FFFFFFF)
                data_rva, data_size = struct.unpack_from("<II", self.data, self.offset(rva + leaf))
                start = self.offset(data_rva)
                return bytes(self.data[start:start + data_size])
        return None

    def version_block(self):
        """The raw VS_VERSIONINFO resource, or None."""
        return self.resource(RT_VERSION)

    def message_table(self):
        """{message ID: text} of the first message table resource, or None."""
        block = self.resource(RT_MESSAGETABLE)
        if block is None:
            return None
        messages = {}
        (count,) = struct.unpack_from("<I", block, 0)
        for i in range(count):
            low, high, at = struct.unpack_from("<III", block, 4 + 12 * i)
            for ident in range(low, high + 1):
                length, flags = struct.unpack_from("<HH", block, at)
                raw = block[at + 4:at + length]
                text = raw.decode("utf-16-le" if flags & 1 else "latin-1")
                messages[ident] = text.rstrip("\0")
                at += length
        return messages

    def compute_checksum(self):
        data = self.data[:self.checksum_offset] + b"\0\0\0\0" + self.data[self.checksum_offset + 4:]
        if len(data) % 2:
            data += b"\0"
        total = 0
        for (word,) in struct.iter_unpack("<H", data):
            total += word
            total = (total & 0xFFFF) + (total >> 16)
        total = (total & 0xFFFF) + (total >> 16)
        return (total + len(self.data)) & 0xFFFFFFFF

    def save(self):
        with open(self.path, "wb") as f:
            f.write(self.data)


def finish(arguments):
    """Sets the section flags that ld does not, then the checksum."""
    path, rest = arguments[0], arguments[1:]
    image = Image(path)
    for option, name in zip(rest[::2], rest[1::2]):
        section = image.section(name)
        if section is None:
            sys.exit(f"pe_tool: {path} has no section {name}")
        flags = section.characteristics
        if option == "--code":
            flags = (flags | IMAGE_SCN_CNT_CODE | IMAGE_SCN_MEM_EXECUTE | IMAGE_SCN_MEM_READ) \
                & ~IMAGE_SCN_MEM_WRITE
        elif option == "--discardable":
            flags |= IMAGE_SCN_MEM_DISCARDABLE
        else:
            sys.exit(f"pe_tool: unknown option {option}")
        struct.pack_into("<I", image.data, section.header_offset + 36, flags)
    struct.pack_into("<I", image.data, image.checksum_offset, image.compute_checksum())
    image.save()


class Checks:
    def __init__(self):
        self.failed = []
        self.passed = 0

    def fact(self, ok, text, detail=""):
        if ok:
            self.passed += 1
            print(f"  ok    {text}")
        else:
            self.failed.append(f"{text}{': ' + detail if detail else ''}")
            print(f"  FAIL  {text}{': ' + detail if detail else ''}")
        return ok

    def info(self, text):
        print(f"        {text}")


def tool(prefix, name, *arguments):
    return subprocess.run([f"{prefix}-{name}", *arguments], check=True, capture_output=True,
                          text=True).stdout


def symbols(prefix, path):
    """[(address, type, name)] of the COFF symbols of an object or an unstripped image."""
    result = []
    for line in tool(prefix, "nm", path).splitlines():
        parts = line.split()
        if len(parts) == 3:
            result.append((int(parts[0], 16), parts[1], parts[2]))
        elif len(parts) == 2:
            result.append((None, parts[0], parts[1]))
    return result


def names_routine(symbol, routine):
    """True when a (possibly C++-mangled) symbol is the routine of that name."""
    return symbol == routine or symbol.startswith(f"_Z{len(routine)}{routine}")


def is_host_symbol(symbol):
    return symbol.startswith(("Host", "_Host", "host::", "_ZN4host", "__ZN4host"))


def check_common(checks, image, label, machine, pe32_plus, subsystem):
    checks.fact(image.machine == machine,
                f"{label}: machine {MACHINES.get(image.machine, hex(image.machine))}",
                f"expected {MACHINES[machine]}")
    checks.fact(image.pe32_plus == pe32_plus, f"{label}: {'PE32+' if image.pe32_plus else 'PE32'}")
    checks.fact(image.subsystem == subsystem,
                f"{label}: subsystem {SUBSYSTEMS.get(image.subsystem, image.subsystem)}",
                f"expected {SUBSYSTEMS[subsystem]}")
    computed = image.compute_checksum()
    checks.fact(image.checksum != 0 and image.checksum == computed,
                f"{label}: checksum {image.checksum:#010x} (recomputed {computed:#010x})")
    checks.fact(image.directories[5][1] != 0, f"{label}: base relocations present "
                f"({image.directories[5][1]} bytes)")
    checks.info(f"{label}: {os.path.getsize(image.path)} bytes, image base {image.image_base:#x}, "
                f"entry RVA {image.entry:#x}")
    for section in image.sections:
        checks.info(f"{label}: section {section.name:<8} RVA {section.rva:#07x} "
                    f"size {section.virtual_size:#07x} {section.flags()}")


def check_version(checks, image, label, file_type):
    block = image.version_block()
    if not checks.fact(block is not None, f"{label}: version resource present"):
        return
    at = block.find(struct.pack("<I", VS_FIXEDFILEINFO_SIGNATURE))
    if not checks.fact(at >= 0, f"{label}: VS_FIXEDFILEINFO present"):
        return
    fields = struct.unpack_from("<13I", block, at)
    file_version = (fields[2] >> 16, fields[2] & 0xFFFF, fields[3] >> 16, fields[3] & 0xFFFF)
    product_version = (fields[4] >> 16, fields[4] & 0xFFFF, fields[5] >> 16, fields[5] & 0xFFFF)
    show = lambda version: ".".join(map(str, version))
    checks.fact(file_version == VERSION, f"{label}: FileVersion {show(file_version)}")
    checks.fact(product_version == VERSION, f"{label}: ProductVersion {show(product_version)}")
    checks.fact(fields[9] == file_type, f"{label}: file type {fields[9]}",
                f"expected {file_type}")
    strings = block.decode("utf-16-le", "replace")
    for key in ("FileVersion", "ProductVersion"):
        checks.fact(re.search(key + "\0+" + re.escape(show(VERSION)) + "\0", strings) is not None,
                    f"{label}: string {key} \"{show(VERSION)}\"")


def check_driver(checks, dist, build):
    label = "RailwatchDrv.sys"
    prefix = "x86_64-w64-mingw32"
    image = Image(os.path.join(dist, label))
    check_common(checks, image, label, 0x8664, True, 1)
    checks.fact(image.image_base == 0x140000000, f"{label}: image base {image.image_base:#x}")

    # Which routine lies where, from the unstripped copy of the same link.
    unstripped = os.path.join(build, "RailwatchDrv.unstripped.sys")
    linked = symbols(prefix, unstripped)
    section_names = {section.name for section in image.sections}
    code = [(address - image.image_base, name) for address, kind, name in linked
            if kind in "Tt" and address is not None and name not in section_names]

    def rva_of(routine):
        return next((rva for rva, name in code if names_routine(name, routine)), None)

    entry = rva_of("DriverEntry")
    checks.fact(entry is not None and image.entry == entry,
                f"{label}: entry point {image.entry:#x} is DriverEntry",
                f"DriverEntry at {entry:#x}" if entry is not None else "no DriverEntry symbol")
    for section_name, routines, discardable in (("INIT", DRIVER_INIT_ROUTINES, True),
                                                ("PAGE", DRIVER_PAGE_ROUTINES, False)):
        section = image.section(section_name)
        if not checks.fact(section is not None, f"{label}: section {section_name} present"):
            continue
        want = IMAGE_SCN_CNT_CODE | IMAGE_SCN_MEM_EXECUTE | IMAGE_SCN_MEM_READ
        checks.fact(section.characteristics & want == want
                    and not section.characteristics & IMAGE_SCN_MEM_WRITE,
                    f"{label}: {section_name} is read-only executable code ({section.flags()})")
        checks.fact(bool(section.characteristics & IMAGE_SCN_MEM_DISCARDABLE) == discardable,
                    f"{label}: {section_name} {'is' if discardable else 'is not'} discardable "
                    f"(characteristics {section.characteristics:#010x})")
        for routine in routines:
            rva = rva_of(routine)
            checks.fact(rva is not None and section.holds(rva),
                        f"{label}: {routine} lies in {section_name}",
                        f"it lies in {image.section_of(rva).name}" if rva is not None else "not found")
        inside = sorted({name for rva, name in code if section.holds(rva)})
        strays = [name for name in inside if not any(names_routine(name, r) for r in routines)]
        checks.fact(not strays, f"{label}: {section_name} holds only {', '.join(routines)}",
                    ", ".join(strays))

    imports = image.imports()
    checks.fact(list(imports) == ["ntoskrnl.exe"], f"{label}: imports from {', '.join(imports)}",
                "expected ntoskrnl.exe only")
    imported = set(imports.get("ntoskrnl.exe", []))
    checks.info(f"{label}: {len(imported)} imports: {', '.join(sorted(imported))}")
    objects = [os.path.join(build, "driver", name)
               for name in sorted(os.listdir(os.path.join(build, "driver"))) if name.endswith(".o")]
    defined, undefined = set(), set()
    object_symbols = []
    for path in objects:
        for _, kind, name in symbols(prefix, path):
            object_symbols.append(name)
            (undefined if kind == "U" else defined).add(name)
    needed = {name[len("__imp_"):] if name.startswith("__imp_") else name
              for name in undefined - defined}
    checks.fact(imported <= needed, f"{label}: every import is called by the driver's objects",
                ", ".join(sorted(imported - needed)))
    checks.fact(needed <= imported, f"{label}: every routine the objects call is imported",
                ", ".join(sorted(needed - imported)))
    host = sorted({name for name in object_symbols + [name for _, _, name in linked]
                   if is_host_symbol(name)})
    checks.fact(not host, f"{label}: no host platform symbol in the objects or the image",
                ", ".join(host))
    _, exports = image.exports()
    checks.fact(not exports, f"{label}: exports nothing", f"{len(exports)} exports")
    check_version(checks, image, label, VFT_DRV)


# The two builds of the library and the tool: (folder under dist/, machine, toolchain
# prefix, intermediates folder under build/, import symbol prefix).
ARCHITECTURES = (
    ("", 0x14C, "i686-w64-mingw32", "api", "__imp__"),
    ("x64", 0x8664, "x86_64-w64-mingw32", "api-x64", "__imp_"),
)


def check_library(checks, dist, build, folder, machine, prefix, work, imp):
    label = os.path.join(folder, "RailwatchApi.dll")
    image = Image(os.path.join(dist, label))
    check_common(checks, image, label, machine, machine == 0x8664, 2)
    checks.fact(bool(image.characteristics & IMAGE_FILE_DLL), f"{label}: DLL image")
    imports = image.imports()
    checks.fact(list(imports) == ["KERNEL32.dll"], f"{label}: imports from {', '.join(imports)}",
                "expected KERNEL32.dll only")
    imported = set(imports.get("KERNEL32.dll", []))
    checks.info(f"{label}: {len(imported)} imports: {', '.join(sorted(imported))}")
    undefined = {re.sub(r"^__imp__?|@\d+$", "", name)
                 for _, kind, name in symbols(prefix, os.path.join(build, work, "RailwatchApi.o"))
                 if kind == "U"}
    checks.fact(imported == undefined, f"{label}: imports exactly what the library calls",
                f"calls {sorted(undefined)}")
    module, exports = image.exports()
    checks.fact(module == "RailwatchApi.dll", f"{label}: export module name {module}")
    for ordinal in sorted(set(exports) | set(API_EXPORTS)):
        name, rva = exports.get(ordinal, (None, 0))
        section = image.section_of(rva)
        checks.fact(name == API_EXPORTS.get(ordinal) and section is not None
                    and section.characteristics & IMAGE_SCN_MEM_EXECUTE,
                    f"{label}: export @{ordinal} {name} at RVA {rva:#x} "
                    f"({section.name if section else '?'})",
                    f"expected {API_EXPORTS.get(ordinal)} in code")
    checks.fact(exports.get(5, (None, -1))[1] == image.entry,
                f"{label}: entry point {image.entry:#x} is the exported DllMain")
    check_version(checks, image, label, VFT_DLL)
    library = os.path.join(folder, "libRailwatchApi.a")
    names = [library] + ([] if folder else ["RailwatchApi.h"])
    for name in names:
        checks.fact(os.path.isfile(os.path.join(dist, name)), f"{name} beside the library")
    listing = tool(prefix, "nm", os.path.join(dist, library)).split()
    for name in API_EXPORTS.values():
        if name != "DllMain":
            checks.fact(f"{imp}{name}" in listing, f"{library}: links {name} to the DLL")


def check_tool(checks, dist, folder, machine):
    label = os.path.join(folder, "railwatch.exe")
    path = os.path.join(dist, label)
    if not os.path.exists(path):
        checks.info(f"{label}: not built (tools/railwatch has no sources yet)")
        return
    image = Image(path)
    check_common(checks, image, label, machine, machine == 0x8664, 3)
    imports = image.imports()
    checks.fact("RailwatchApi.dll" in imports, f"{label}: imports from {', '.join(imports)}",
                "expected RailwatchApi.dll among them")
    messages = image.message_table()
    if checks.fact(messages is not None, f"{label}: message table resource present"):
        by_event = {ident & 0xFFFF: text for ident, text in messages.items()}
        for event in TOOL_MESSAGE_IDS:
            text = by_event.get(event, "").strip()
            checks.fact(bool(text), f"{label}: message {event}: {text.splitlines()[0] if text else ''}",
                        "missing or empty")


def check_package(checks, dist):
    archives = [name for name in os.listdir(dist) if name.endswith("-windows.zip")]
    if not checks.fact(len(archives) == 1, f"archive {', '.join(archives)}"):
        return
    with zipfile.ZipFile(os.path.join(dist, archives[0])) as archive:
        # Paths below the archive's top folder: RailwatchApi.dll, x64/RailwatchApi.dll.
        members = {name.split("/", 1)[-1]: info.file_size for name, info in
                   ((i.filename, i) for i in archive.infolist())}
        checks.fact(archive.testzip() is None, f"{archives[0]}: every member reads back")
    expected = ["RailwatchDrv.sys", "RailwatchDrv.inf", "RailwatchApi.dll", "RailwatchApi.h",
                "libRailwatchApi.a", "README.txt"]
    expected += ["x64/RailwatchApi.dll", "x64/libRailwatchApi.a"]
    for name in ("railwatch.exe", "x64/railwatch.exe"):
        if os.path.exists(os.path.join(dist, name)):
            expected.append(name)
    for name in expected:
        size = os.path.getsize(os.path.join(dist, name)) if os.path.exists(
            os.path.join(dist, name)) else None
        checks.fact(members.get(name) == size and size is not None,
                    f"{archives[0]}: holds {name} ({size} bytes)")


def check_inf(checks, dist):
    label = "RailwatchDrv.inf"
    with open(os.path.join(dist, label), encoding="ascii") as f:
        text = f.read()
    lines = [line.split(";")[0].strip() for line in text.splitlines()]
    sections = {}
    current = None
    for line in lines:
        if line.startswith("[") and line.endswith("]"):
            current = line[1:-1].lower()
            sections[current] = []
        elif line and current is not None:
            sections[current].append(line)
    version = " ".join(sections.get("version", []))
    checks.fact('$WINDOWS NT$' in version.upper() or "$Windows NT$" in version,
                f"{label}: Windows NT signature")
    checks.fact(re.search(r"Class\s*=\s*System\b", version) is not None, f"{label}: class System")
    checks.fact(re.search(r"ClassGuid\s*=\s*\{4D36E97D-E325-11CE-BFC1-08002BE10318\}", version,
                          re.I) is not None, f"{label}: class GUID of System")
    checks.fact(re.search(r"DriverVer\s*=\s*[\d/]+\s*,\s*1\.0\.0\.1\b", version) is not None,
                f"{label}: DriverVer 1.0.0.1")
    checks.fact(re.search(r"NTamd64", " ".join(sections.get("manufacturer", [])), re.I) is not None
                and not any(re.search(r"ntx86|ntarm|ntia64", s, re.I) for s in sections),
                f"{label}: x64 only (NTamd64)")
    checks.fact(re.search(r"Root\\RailwatchDrv\b", text) is not None,
                f"{label}: hardware id Root\\RailwatchDrv")
    checks.fact(re.search(r"AddService\s*=\s*RailwatchDrv\s*,\s*0x0*2\b", text, re.I) is not None,
                f"{label}: service RailwatchDrv as the function driver")
    checks.fact(re.search(r"ServiceBinary\s*=\s*%12%\\RailwatchDrv\.sys", text, re.I) is not None,
                f"{label}: binary in the drivers folder")


def check(arguments):
    dist, build = arguments
    checks = Checks()
    stages = [("driver", lambda: check_driver(checks, dist, build))]
    for folder, machine, prefix, work, imp in ARCHITECTURES:
        arch = MACHINES[machine]
        stages += [(f"library ({arch})", lambda a=(folder, machine, prefix, work, imp):
                    check_library(checks, dist, build, *a)),
                   (f"tool ({arch})", lambda a=(folder, machine): check_tool(checks, dist, *a))]
    stages += [("INF", lambda: check_inf(checks, dist)),
               ("archive", lambda: check_package(checks, dist))]
    for title, run in stages:
        print(f"{title}:")
        try:
            run()
        except (OSError, ValueError, subprocess.CalledProcessError, struct.error) as error:
            checks.fact(False, f"{title} could be inspected", str(error))
    print(f"PE checks: {checks.passed} passed, {len(checks.failed)} failed")
    for failure in checks.failed:
        print(f"FAILED: {failure}")
    return 1 if checks.failed else 0


def main():
    if len(sys.argv) >= 3 and sys.argv[1] == "finish":
        finish(sys.argv[2:])
        return 0
    if len(sys.argv) == 4 and sys.argv[1] == "check":
        return check(sys.argv[2:])
    sys.exit(__doc__)


if __name__ == "__main__":
    sys.exit(main())
