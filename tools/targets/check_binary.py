"""Checks the modules of Windows and macOS wheels against what each system loads them by.

    check_binary.py WHEEL...

Reads each extension module's tables with LLVM's tools (llvm-readobj and llvm-objdump; LLVM_SUFFIX,
default -16, names Debian's versioned commands) and fails unless:

- Windows (`*.cpXY-win_amd64.pyd` in a `cpXY-cpXY-win_amd64` wheel): it imports only pythonXY.dll,
  the UCRT (api-ms-win-crt-*, ucrtbase) and Windows's own DLLs, so that no C++ runtime, winpthreads
  or older msvcrt has to travel with it, and it exports its `PyInit_<name>` alone;
- macOS (`*.cpython-XY-darwin.so` in a `macosx_A_B_ARCH` wheel): it is built for ARCH, needs
  macOS A.B (its LC_BUILD_VERSION), loads libSystem alone and exports its `_PyInit_<name>` alone
  (no operator new or delete of the libc++ linked into it), beside the names that the linker gives
  the image's own header.
"""
import os
import re
import subprocess
import sys
import tempfile
import zipfile

LLVM = os.environ.get("LLVM_SUFFIX", "-16")
WINDOWS_OWN = re.compile(r"(kernel32|ntdll|advapi32|bcrypt|user32|ws2_32|ucrtbase)\.dll|api-ms-win-[a-z0-9-]+\.dll", re.I)
MACOS_ARCH = {"arm64": "ARM64", "x86_64": "X86_64"}
LINKER_MADE = {"__mh_dylib_header", "__mh_bundle_header", "___dso_handle"}


def tool(name, *args):
    return subprocess.run([name + LLVM, *args], check=True, capture_output=True, text=True).stdout


def pe_problems(path, name, python_dll):
    tables = tool("llvm-readobj", "--coff-imports", "--coff-exports", path)
    imports = re.findall(r"^\s*Import \{\n\s*Name: (\S+)", tables, re.M)
    exports = re.findall(r"^\s*Export \{\n(?:\s*\w+: .*\n)*?\s*Name: (\S*)", tables, re.M)
    problems = [f"imports {dll}" for dll in imports if dll.lower() != python_dll and not WINDOWS_OWN.fullmatch(dll)]
    if python_dll not in (dll.lower() for dll in imports):
        problems.append(f"does not import {python_dll}")
    if exports != [f"PyInit_{name}"]:
        problems.append(f"exports {exports}, not PyInit_{name} alone")
    return problems


def macho_problems(path, name, minos, arch):
    headers = tool("llvm-objdump", "--macho", "--private-headers", path)
    problems = []
    if not re.search(rf"^\s*MH_MAGIC_64\s+{MACOS_ARCH[arch]}\s", headers, re.M):
        problems.append(f"is not built for {arch}")
    # Before 10.14 the minimum is written in LC_VERSION_MIN_MACOSX, from then on in LC_BUILD_VERSION.
    built_for = re.findall(r"cmd LC_BUILD_VERSION\n(?:.*\n)*?\s*minos (\S+)", headers)
    built_for += re.findall(r"cmd LC_VERSION_MIN_MACOSX\n\s*cmdsize \d+\n\s*version (\S+)", headers)
    if built_for != [minos]:
        problems.append(f"needs macOS {built_for}, its tag says {minos}")
    dylibs = re.findall(r"cmd LC_(?:LOAD|LOAD_WEAK|REEXPORT|LAZY_LOAD)_DYLIB\n\s*cmdsize \d+\n\s*name (\S+)", headers)
    if dylibs != ["/usr/lib/libSystem.B.dylib"]:
        problems.append(f"loads {dylibs}, not libSystem alone")
    exports = re.findall(r"^0x[0-9A-Fa-f]+\s+(\S+)", tool("llvm-objdump", "--macho", "--exports-trie", path), re.M)
    # The linker's own names of the image's header, which every image has.
    exports = [e for e in exports if e not in LINKER_MADE]
    if exports != [f"_PyInit_{name}"]:
        problems.append(f"exports {exports}, not _PyInit_{name} alone")
    return problems


def check_wheel(wheel):
    python, abi, platform = os.path.basename(wheel)[: -len(".whl")].split("-")[-3:]
    version = python[len("cp"):]
    failures, modules = [], []
    with zipfile.ZipFile(wheel) as archive, tempfile.TemporaryDirectory() as scratch:
        for member in archive.namelist():
            stem = os.path.basename(member)
            if platform == "win_amd64" and stem.endswith(".pyd"):
                name, suffix = stem.split(".", 1)
                if suffix != f"{python}-win_amd64.pyd" or abi != python:
                    failures.append(f"{member}: its name does not match the tag {python}-{abi}-{platform}")
                check = lambda path: pe_problems(path, name, f"python{version}.dll")
            elif platform.startswith("macosx_") and stem.endswith(".so"):
                major, minor, arch = re.fullmatch(r"macosx_(\d+)_(\d+)_(\w+)", platform).groups()
                name, suffix = stem.split(".", 1)
                if suffix != f"cpython-{version}-darwin.so":
                    failures.append(f"{member}: its name does not match the tag {python}")
                check = lambda path: macho_problems(path, name, f"{major}.{minor}", arch)
            else:
                continue
            path = archive.extract(member, scratch)
            failures += [f"{member}: {problem}" for problem in check(path)]
            modules.append(name)
    if sorted(modules) != ["display", "tarvex"]:
        failures.append(f"holds the modules {sorted(modules)}, not display and tarvex")
    return failures


def main(wheels):
    failed = False
    for wheel in wheels:
        failures = check_wheel(wheel)
        for failure in failures:
            print(f"{os.path.basename(wheel)}: {failure}", file=sys.stderr)
        failed = failed or bool(failures)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
