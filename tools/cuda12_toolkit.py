#!/usr/bin/env python3
"""Assemble a CUDA 12.4 toolkit, enough to build the cuda backend, in one folder.

The package index ships CUDA 12's assembler, headers and libraries as wheels but
not the nvcc driver and its front ends (nvcc, cicc, cudafe++, fatbinary,
nvlink); Debian ships those in its nvidia-cuda-toolkit package. Both are taken
at the same release, 12.4.1, every download checked against a pinned SHA-256,
and laid out as a toolkit root:

    bin/      nvcc, its tools and an nvcc.profile pointing at this root
    nvvm/     cicc and libdevice
    include/  runtime, crt and cuBLAS headers
    lib64/    libcudart and libcublas (shared; the wheels carry no static cudart)

Usage: tools/cuda12_toolkit.py DEST   (prints DEST/bin/nvcc's version line)
Set QM_DEBIAN_MIRROR to use another Debian mirror.
"""

import hashlib
import lzma
import os
import shutil
import subprocess
import sys
import tempfile
import time
import urllib.error
import urllib.request
import zipfile

RELEASE = "12.4.1"
WHEELS = {
    "nvidia-cuda-nvcc-cu12==12.4.131": "e4c9a35435c3b0e36c6397c5696334c9ea6650e524736cbd1c5d345ea099bb04",
    "nvidia-cuda-runtime-cu12==12.4.127": "64403288fa2136ee8e467cdc9c9427e0434110899d07c779f25b5c068934faa5",
    "nvidia-cublas-cu12==12.4.5.8": "2fc8da60df463fdefa81e323eef2e36489e1c94335b5358bcb38360adf75ac9b",
}
DEB_PATH = "pool/non-free/n/nvidia-cuda-toolkit/nvidia-cuda-toolkit_12.4.131~12.4.1-2_amd64.deb"
DEB_SHA256 = "cd5fe85aee38d108b315f408a688641478f2402622a10c677478eb7a6c4e5319"

# From the Debian package: where each driver-side file goes in the root.
DEB_FILES = {
    "usr/lib/nvidia-cuda-toolkit/bin/nvcc": "bin/nvcc",
    "usr/lib/nvidia-cuda-toolkit/bin/crt/link.stub": "bin/crt/link.stub",
    "usr/lib/nvidia-cuda-toolkit/bin/crt/prelink.stub": "bin/crt/prelink.stub",
    "usr/bin/cudafe++": "bin/cudafe++",
    "usr/bin/ptxas": "bin/ptxas",
    "usr/bin/fatbinary": "bin/fatbinary",
    "usr/bin/nvlink": "bin/nvlink",
    "usr/bin/bin2c": "bin/bin2c",
    "usr/lib/nvidia-cuda-toolkit/bin/cicc": "nvvm/bin/cicc",
    "usr/lib/nvidia-cuda-toolkit/libdevice/libdevice.10.bc": "nvvm/libdevice/libdevice.10.bc",
}

# The profile every CUDA toolkit's nvcc reads from its own folder.
NVCC_PROFILE = """\
TOP              = $(_HERE_)/..
NVVMIR_LIBRARY_DIR = $(TOP)/nvvm/libdevice
LD_LIBRARY_PATH += $(TOP)/lib64:
PATH            += $(TOP)/nvvm/bin:$(_HERE_):
INCLUDES        +=  "-I$(TOP)/include" $(_SPACE_)
LIBRARIES        =+ $(_SPACE_) "-L$(TOP)/lib64"
"""


def sha256(data):
    return hashlib.sha256(data).hexdigest()


def download(url, attempts=3):
    for attempt in range(1, attempts + 1):
        try:
            with urllib.request.urlopen(url, timeout=300) as response:
                return response.read()
        except urllib.error.HTTPError:
            raise  # an answer, not a dropped connection
        except OSError as e:
            if attempt == attempts:
                raise
            print(f"{url}: {e}; trying again", file=sys.stderr)
            time.sleep(5 * attempt)


def trixie_entry(mirror):
    """Filename and SHA-256 of the toolkit package trixie lists now, when it is
    still CUDA 12.4.131 (a Debian revision may replace the pinned file)."""
    index = lzma.decompress(download(f"{mirror}/dists/trixie/non-free/binary-amd64/Packages.xz")).decode()
    for stanza in index.split("\n\n"):
        fields = dict(line.split(": ", 1) for line in stanza.splitlines() if ": " in line and line[0] != " ")
        if fields.get("Package") == "nvidia-cuda-toolkit" and fields.get("Version", "").startswith("12.4.131~"):
            return fields["Filename"], fields["SHA256"]
    sys.exit("Debian trixie lists no nvidia-cuda-toolkit 12.4.131")


def fetch_deb(tmp):
    mirror = os.environ.get("QM_DEBIAN_MIRROR", "http://deb.debian.org/debian").rstrip("/")
    path, digest = DEB_PATH, DEB_SHA256
    try:
        data = download(f"{mirror}/{path}")
    except urllib.error.HTTPError as e:
        if e.code != 404:
            raise
        path, digest = trixie_entry(mirror)
        data = download(f"{mirror}/{path}")
    if sha256(data) != digest:
        sys.exit(f"checksum mismatch for {path}")
    deb = os.path.join(tmp, "toolkit.deb")
    with open(deb, "wb") as f:
        f.write(data)
    extracted = os.path.join(tmp, "deb")
    subprocess.run(["dpkg-deb", "-x", deb, extracted], check=True)
    return extracted


def fetch_wheels(tmp):
    requirements = os.path.join(tmp, "requirements.txt")
    with open(requirements, "w") as f:
        for requirement, digest in WHEELS.items():
            f.write(f"{requirement} --hash=sha256:{digest}\n")
    wheels = os.path.join(tmp, "wheels")
    subprocess.run(
        [
            sys.executable,
            "-m",
            "pip",
            "download",
            "-q",
            "--disable-pip-version-check",
            "--no-cache-dir",
            "--no-deps",
            "--require-hashes",
            "-r",
            requirements,
            "-d",
            wheels,
        ],
        check=True,
    )
    return [os.path.join(wheels, name) for name in sorted(os.listdir(wheels))]


def unpack_wheel(wheel, dest):
    """Headers into include/, shared libraries into lib64/."""
    with zipfile.ZipFile(wheel) as z:
        for info in z.infolist():
            parts = info.filename.split("/")
            if info.is_dir() or len(parts) < 4 or parts[0] != "nvidia" or parts[-1] == "__init__.py":
                continue
            kind, rest = parts[2], parts[3:]
            if kind == "include":
                target = os.path.join(dest, "include", *rest)
            elif kind == "lib" and ".so" in rest[-1]:
                target = os.path.join(dest, "lib64", *rest)
            else:
                continue
            os.makedirs(os.path.dirname(target), exist_ok=True)
            with z.open(info) as src, open(target, "wb") as out:
                shutil.copyfileobj(src, out)


def assemble(dest):
    os.makedirs(dest)
    with tempfile.TemporaryDirectory() as tmp:
        deb = fetch_deb(tmp)
        for src, rel in DEB_FILES.items():
            target = os.path.join(dest, rel)
            os.makedirs(os.path.dirname(target), exist_ok=True)
            shutil.copy2(os.path.join(deb, src), target)
        for wheel in fetch_wheels(tmp):
            unpack_wheel(wheel, dest)
    with open(os.path.join(dest, "bin", "nvcc.profile"), "w") as f:
        f.write(NVCC_PROFILE)
    lib64 = os.path.join(dest, "lib64")
    for name in os.listdir(lib64):
        stem = name.split(".so")[0]
        if name.endswith(".so.12") and not os.path.exists(os.path.join(lib64, stem + ".so")):
            os.symlink(name, os.path.join(lib64, stem + ".so"))


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    dest = os.path.abspath(sys.argv[1])
    stamp = os.path.join(dest, "release")
    if not (os.path.exists(stamp) and open(stamp).read().strip() == RELEASE):
        shutil.rmtree(dest, ignore_errors=True)
        assemble(dest)
        with open(stamp, "w") as f:
            f.write(RELEASE + "\n")
    version = subprocess.run(
        [os.path.join(dest, "bin", "nvcc"), "--version"], check=True, capture_output=True, text=True
    ).stdout
    print(version.strip().splitlines()[-2])


if __name__ == "__main__":
    main()
