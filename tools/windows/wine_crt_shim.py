"""Lets numpy's Windows binaries run under Wine 8, whose ucrtbase.dll has only
stubs for the C runtime's complex-number functions (a call ends the process).

    python wine_crt_shim.py SITE_PACKAGES

For every DLL and extension module of numpy (numpy/ and numpy.libs/) that
imports from the API set api-ms-win-crt-math-l1-1-0.dll, the name of that
import is changed to wine-crt-math-shim.dll, a DLL built here with MinGW-w64
into numpy.libs/ (which numpy puts on the DLL search path).  It exports each
function those binaries import from the API set: the complex ones from
crt_complex.c beside this file, every other one forwarded to Wine's own
ucrtbase.dll, so nothing else changes.  The test harness uses it on its copy
of numpy; nothing of it ships.
"""

import os
import struct
import subprocess
import sys
import tempfile

API_SET = b"api-ms-win-crt-math-l1-1-0.dll"
SHIM = b"wine-crt-math-shim.dll"
HERE = os.path.dirname(os.path.abspath(__file__))
CC = "x86_64-w64-mingw32-gcc"


class PE:
    """Just enough of a PE32+ reader to walk the import table."""

    def __init__(self, data):
        self.data = data
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[pe : pe + 4] != b"PE\0\0":
            raise ValueError("not a PE file")
        nsections, _, _, _, opt_size = struct.unpack_from("<HIIIH", data, pe + 6)
        opt = pe + 24
        if struct.unpack_from("<H", data, opt)[0] != 0x20B:
            raise ValueError("not PE32+")
        self.import_rva = struct.unpack_from("<I", data, opt + 112 + 8)[0]
        self.sections = []
        for i in range(nsections):
            vsize, vaddr, rawsize, rawptr = struct.unpack_from("<IIII", data, opt + opt_size + 40 * i + 8)
            self.sections.append((vaddr, max(vsize, rawsize), rawptr))

    def offset(self, rva):
        for vaddr, size, rawptr in self.sections:
            if vaddr <= rva < vaddr + size:
                return rva - vaddr + rawptr
        raise ValueError(f"RVA {rva:#x} outside the sections")

    def cstring(self, rva):
        off = self.offset(rva)
        return self.data[off : self.data.index(b"\0", off)]

    def imports(self):
        """Yields (offset of the DLL name, DLL name, [imported names])."""
        if not self.import_rva:
            return
        desc = self.offset(self.import_rva)
        while True:
            lookup, _, _, name_rva, first = struct.unpack_from("<IIIII", self.data, desc)
            if name_rva == 0:
                return
            names = []
            thunk = self.offset(lookup or first)
            while (entry := struct.unpack_from("<Q", self.data, thunk)[0]) != 0:
                if not entry >> 63:  # by name, not by ordinal
                    names.append(self.cstring((entry & 0x7FFFFFFF) + 2).decode())
                thunk += 8
            yield self.offset(name_rva), self.cstring(name_rva), names
            desc += 20


def main(site):
    patched, wanted = {}, set()  # path -> patched bytes
    for top in ("numpy", "numpy.libs"):
        for base, _, files in os.walk(os.path.join(site, top)):
            for f in files:
                if not f.lower().endswith((".pyd", ".dll")):
                    continue
                path = os.path.join(base, f)
                data = bytearray(open(path, "rb").read())
                for off, dll, names in list(PE(bytes(data)).imports()):
                    if dll.lower() == API_SET:
                        data[off : off + len(dll)] = SHIM.ljust(len(dll), b"\0")
                        wanted.update(names)
                        patched[path] = data
    if not patched:
        return
    with tempfile.TemporaryDirectory() as tmp:
        obj = os.path.join(tmp, "crt_complex.o")
        subprocess.run([CC, "-O2", "-ffp-contract=off", "-Wall", "-Werror", "-c",
                        os.path.join(HERE, "crt_complex.c"), "-o", obj], check=True)
        nm = subprocess.run(["x86_64-w64-mingw32-nm", "-g", "--defined-only", obj],
                            check=True, capture_output=True, text=True).stdout
        defined = {line.split()[-1][len("shim_"):] for line in nm.splitlines() if " shim_" in line}
        lines = ["LIBRARY " + SHIM.decode(), "EXPORTS"]
        for name in sorted(wanted):
            lines.append(f"    {name}=shim_{name}" if name in defined else f"    {name}=ucrtbase.{name}")
        deffile = os.path.join(tmp, "shim.def")
        with open(deffile, "w") as out:
            out.write("\n".join(lines) + "\n")
        libs = os.path.join(site, "numpy.libs")
        os.makedirs(libs, exist_ok=True)
        subprocess.run([CC, "-shared", "-static-libgcc", "-o", os.path.join(libs, SHIM.decode()), obj, deffile],
                       check=True)
    for path, data in patched.items():  # only once the shim exists
        with open(path, "wb") as out:
            out.write(data)
    own = sorted(n for n in wanted if n in defined)
    print(f"wine-crt-math-shim: {len(patched)} binaries; {len(own)} of {len(wanted)} functions "
          f"defined here ({' '.join(own)}), the rest forwarded to ucrtbase", file=sys.stderr)


if __name__ == "__main__":
    main(sys.argv[1])
