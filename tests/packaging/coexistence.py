"""Our wheels installed beside the SDK's own `zq` package change none of its files.

    python tests/packaging/coexistence.py WORKDIR EXTENSION_WHEEL DEVKIT_WHEEL SDK_STANDIN_WHEEL

A small stand-in SDK distribution owning zq/__init__.py, zq/constant.py and
zq/utils.py (a regular package) is installed into a fresh virtual environment
before our three wheels, and into another one after them.  Our wheels go in
with one pip command, as the README installs them; then they are reinstalled
and uninstalled one by one.  After every step each SDK file must be
byte-identical and `pip check` must pass; while the extension is installed it
must import with the SDK's own modules, saying nothing; without the SDK it
imports with the stand-in modules; and after the last uninstall nothing of
ours is left.  Exit status 0 when all holds, 1 with the failed steps otherwise.
"""
from __future__ import annotations

import base64
import hashlib
import subprocess
import sys
import venv
import zipfile
from pathlib import Path
from typing import List, Set, Tuple

SDK_FILES = {
    "zq/__init__.py": b'"""The zq SDK (a stand-in for this check)."""\nSDK_MARKER = "sdk"\n',
    "zq/constant.py": b"CSDK_OPERATE_SUCCESS = 0\nSDK_MARKER = 'sdk constant'\n",
    "zq/utils.py": b"import logging\n\nzqsdklogger = logging.getLogger('zq.sdk')\nSDK_MARKER = 'sdk utils'\n",
}
SDK_DIST = "zq_sdk_standin_for_check-1.0"
OURS = ["zq-csdk-sdk-standin", "zq-csdk-devkit", "zq-csdk"]  # in an order pip check accepts

# What a program sees, run with warnings as errors: (what is checked, the code).
WITH_SDK = ("the extension imports with the SDK's modules, saying nothing",
            "import zq, zq.constant, zq.utils; from zq.csdk import c_sdk; "
            "assert (zq.SDK_MARKER, zq.constant.SDK_MARKER, zq.utils.SDK_MARKER) == ('sdk', 'sdk constant', 'sdk utils'); "
            "assert c_sdk.CSDK_OPERATE_SUCCESS is zq.constant.CSDK_OPERATE_SUCCESS; "
            "assert c_sdk.zqsdklogger is zq.utils.zqsdklogger")
WITHOUT_SDK = ("without the SDK, the extension imports with the stand-in modules",
               "import zq.constant, zq.utils; from zq.csdk import c_sdk; "
               "assert all('_zq_sdk_standin' in m.__file__ for m in (zq.constant, zq.utils)), zq.constant.__file__; "
               "assert c_sdk.CSDK_OPERATE_SUCCESS is zq.constant.CSDK_OPERATE_SUCCESS")
SDK_ALONE = ("the SDK imports", "import zq, zq.constant, zq.utils; assert zq.SDK_MARKER == 'sdk'")


def _record_line(name: str, data: bytes) -> str:
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return f"{name},sha256={digest},{len(data)}"


def make_sdk_wheel(folder: Path) -> Path:
    """A minimal pure-Python wheel of the SDK's package `zq`, written directly."""
    files = dict(SDK_FILES)
    files[f"{SDK_DIST}.dist-info/METADATA"] = b"Metadata-Version: 2.1\nName: zq-sdk-standin-for-check\nVersion: 1.0\n"
    files[f"{SDK_DIST}.dist-info/WHEEL"] = (b"Wheel-Version: 1.0\nGenerator: coexistence\nRoot-Is-Purelib: true\n"
                                            b"Tag: py3-none-any\n")
    record = [_record_line(n, d) for n, d in files.items()] + [f"{SDK_DIST}.dist-info/RECORD,,"]
    files[f"{SDK_DIST}.dist-info/RECORD"] = ("\n".join(record) + "\n").encode()
    path = folder / f"{SDK_DIST}-py3-none-any.whl"
    with zipfile.ZipFile(path, "w") as whl:
        for name, data in files.items():
            whl.writestr(name, data)
    return path


def _files(site: Path) -> Set[str]:
    return {str(p.relative_to(site)) for p in site.rglob("*") if p.is_file() and "__pycache__" not in p.parts}


def scenario(work: Path, sdk_first: bool, wheels: List[str]) -> List[str]:
    """Install the SDK before or after our wheels, then ours again and away; the failures."""
    env_dir = work / ("venv-sdk-first" if sdk_first else "venv-sdk-after")
    venv.create(env_dir, with_pip=True, clear=True)
    py = str(env_dir / "bin" / "python")
    site = Path(subprocess.run([py, "-c", "import sysconfig; print(sysconfig.get_paths()['purelib'])"],
                               check=True, capture_output=True, text=True).stdout.strip())
    baseline = _files(site)
    sdk_wheel = str(make_sdk_wheel(work))
    failures: List[str] = []
    order = "the SDK first" if sdk_first else "the SDK after ours"

    def pip(*args: str) -> None:
        subprocess.run([py, "-m", "pip", "-q", "--disable-pip-version-check", *args], check=True)

    def verify(step: str) -> None:
        for name, data in SDK_FILES.items():
            path = site / name
            if not path.is_file() or path.read_bytes() != data:
                failures.append(f"{order}, {step}: the SDK's {name} was changed or removed")
        check = subprocess.run([py, "-m", "pip", "check"], capture_output=True, text=True)
        if check.returncode != 0:
            failures.append(f"{order}, {step}: pip check: {check.stdout.strip()}")

    def probe(step: str, check: Tuple[str, str]) -> None:
        proc = subprocess.run([py, "-W", "error", "-c", check[1]], capture_output=True, text=True, cwd=work)
        if proc.returncode != 0 or proc.stdout or proc.stderr:
            last = (proc.stdout + proc.stderr).strip().splitlines()[-1:]
            failures.append(f"{order}, {step}: not so: {check[0]}: {''.join(last)}")

    if sdk_first:
        pip("install", sdk_wheel)
        pip("install", *wheels)
    else:
        pip("install", *wheels)
        probe("ours installed alone", WITHOUT_SDK)
        pip("install", sdk_wheel)
    verify("all installed")
    probe("all installed", WITH_SDK)
    pip("install", "--force-reinstall", "--no-deps", *wheels)
    verify("ours reinstalled")
    probe("ours reinstalled", WITH_SDK)
    for dist in OURS:
        pip("uninstall", "-y", dist)
        verify(f"{dist} uninstalled")
    probe("ours uninstalled", SDK_ALONE)
    leftovers = sorted(f for f in _files(site) - baseline
                       if f not in SDK_FILES and not f.startswith(f"{SDK_DIST}.dist-info/"))
    if leftovers:
        failures.append(f"{order}: left after uninstalling ours: {', '.join(leftovers)}")
    return failures


def main(workdir: str, *wheels: str) -> int:
    work = Path(workdir)
    work.mkdir(parents=True, exist_ok=True)
    failures = scenario(work, True, list(wheels)) + scenario(work, False, list(wheels))
    for failure in failures:
        print(f"coexistence: {failure}", file=sys.stderr)
    if not failures:
        print("coexistence: the SDK's zq/__init__.py, zq/constant.py, zq/utils.py unchanged through every step, "
              "installed before our wheels and after them")
    return 1 if failures else 0


if __name__ == "__main__":
    if len(sys.argv) != 5:
        sys.exit(__doc__)
    sys.exit(main(*sys.argv[1:]))
