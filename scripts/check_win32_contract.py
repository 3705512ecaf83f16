#!/usr/bin/env python3
"""Static checks of the shipped 32-bit deliverables, which this kind of host
cannot run: kelvard.exe is a PE32 Windows GUI program, kelvar.dll a PE32 DLL
that exports its five functions under their plain names, and each export
keeps the __stdcall contract the wizard calls it with: its code returns with
"ret" and the size of its arguments (IMap2XRV takes 11, so "ret $0x2c").

Usage: check_win32_contract.py BIN_DIR   (exit 1 on any failure)
"""
import struct
import subprocess
import sys
from pathlib import Path

OBJDUMP = "i686-w64-mingw32-objdump"
# Export name and the bytes of its arguments (4 per int or pointer).
EXPORTS = {"IMap2XRV": 44, "Pop32XRV": 20, "GetFolders": 24, "TestConnection": 8, "GetLine": 12}
PE32_MAGIC = 0x10B
GUI_SUBSYSTEM = 2
DLL_CHARACTERISTIC = 0x2000


class PeFile:
    def __init__(self, path):
        self.data = Path(path).read_bytes()
        pe = struct.unpack_from("<I", self.data, 0x3C)[0]
        if self.data[pe:pe + 4] != b"PE\0\0":
            raise ValueError("no PE signature")
        (self.machine, sections, _, _, _, optional_size,
         self.characteristics) = struct.unpack_from("<HHIIIHH", self.data, pe + 4)
        opt = pe + 24
        self.magic = struct.unpack_from("<H", self.data, opt)[0]
        if self.magic != PE32_MAGIC:
            return
        self.image_base = struct.unpack_from("<I", self.data, opt + 28)[0]
        self.subsystem = struct.unpack_from("<H", self.data, opt + 68)[0]
        self.export_rva, self.export_size = struct.unpack_from("<II", self.data, opt + 96)
        self.sections = []
        table = opt + optional_size
        for i in range(sections):
            _, vsize, vaddr, rawsize, rawptr = struct.unpack_from("<8sIIII", self.data, table + 40 * i)
            self.sections.append((vaddr, max(vsize, rawsize), rawptr))

    def offset(self, rva):
        for vaddr, size, rawptr in self.sections:
            if vaddr <= rva < vaddr + size:
                return rawptr + rva - vaddr
        raise ValueError("address 0x%x is in no section" % rva)

    def cstring(self, rva):
        start = self.offset(rva)
        return self.data[start:self.data.index(b"\0", start)].decode("ascii", "replace")

    def exports(self):
        if not self.export_rva:
            return {}
        d = self.offset(self.export_rva)
        (_, _, _, _, _, _, functions, names, address_of_functions, address_of_names,
         address_of_ordinals) = struct.unpack_from("<IIHHIIIIIII", self.data, d)
        result = {}
        for i in range(names):
            name_rva = struct.unpack_from("<I", self.data, self.offset(address_of_names) + 4 * i)[0]
            ordinal = struct.unpack_from("<H", self.data, self.offset(address_of_ordinals) + 2 * i)[0]
            if ordinal < functions:
                rva = struct.unpack_from("<I", self.data, self.offset(address_of_functions) + 4 * ordinal)[0]
                result[self.cstring(name_rva)] = rva
        return result


def popped_bytes(path, address):
    """The operand of the first ret the code at `address` reaches in a
    straight line (0 for a plain ret), None when there is none nearby."""
    out = subprocess.run([OBJDUMP, "-d", "--no-show-raw-insn", "--start-address=0x%x" % address,
                          "--stop-address=0x%x" % (address + 8192), str(path)],
                         check=True, capture_output=True, text=True).stdout
    for line in out.splitlines():
        fields = line.split("\t")
        if len(fields) < 2:
            continue
        words = fields[-1].split()
        if words and words[0] in ("ret", "retl"):
            return int(words[1].lstrip("$"), 16) if len(words) > 1 else 0
    return None


def main(bin_dir):
    failures = []
    exe = PeFile(Path(bin_dir) / "kelvard.exe")
    if exe.magic != PE32_MAGIC:
        failures.append("kelvard.exe is not a PE32 program (magic 0x%x)" % exe.magic)
    elif exe.subsystem != GUI_SUBSYSTEM:
        failures.append("kelvard.exe is not a Windows GUI program (subsystem %d)" % exe.subsystem)
    dll_path = Path(bin_dir) / "kelvar.dll"
    dll = PeFile(dll_path)
    if dll.magic != PE32_MAGIC or not dll.characteristics & DLL_CHARACTERISTIC:
        failures.append("kelvar.dll is not a PE32 DLL")
    else:
        exports = dll.exports()
        for name, size in EXPORTS.items():
            if name not in exports:
                failures.append("kelvar.dll does not export %s under its plain name" % name)
                continue
            popped = popped_bytes(dll_path, dll.image_base + exports[name])
            if popped != size:
                failures.append("kelvar.dll: %s returns with %s; __stdcall needs ret $0x%x"
                                % (name, "no ret found" if popped is None else "ret $0x%x" % popped, size))
    for failure in failures:
        print("check-win32:", failure)
    if not failures:
        print("check-win32: kelvard.exe is a PE32 GUI program; kelvar.dll exports %s, each with "
              "the __stdcall return" % ", ".join(EXPORTS))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
