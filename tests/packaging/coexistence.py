"""Our wheels installed beside the SDK's own `zq` package change none of its files.

    python tests/packaging/coexistence.py WORKDIR EXTENSION_WHEEL DEVKIT_WHEEL

A small stand-in SDK distribution owning zq/__init__.py, zq/constant.py and
zq/utils.py is installed into a fresh virtual environment; then the
extension's wheel and the development kit are installed and uninstalled in
turn.  After every step each SDK file must be byte-identical, `pip check` must
pass, and while the extension is installed it must import with the SDK's own
modules.  Exit status 0 when all holds, 1 with the failed step otherwise.
"""
from __future__ import annotations

import base64
import hashlib
import subprocess
import sys
import venv
import zipfile
from pathlib import Path

SDK_FILES = {
    "zq/__init__.py": b'"""The zq SDK (a stand-in for this check)."""\nSDK_MARKER = "sdk"\n',
    "zq/constant.py": b"CSDK_OPERATE_SUCCESS = 0\nSDK_MARKER = 'sdk constant'\n",
    "zq/utils.py": b"import logging\n\nzqsdklogger = logging.getLogger('zq.sdk')\nSDK_MARKER = 'sdk utils'\n",
}


def _record_line(name: str, data: bytes) -> str:
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return f"{name},sha256={digest},{len(data)}"


def make_sdk_wheel(folder: Path) -> Path:
    """A minimal pure-Python wheel of the SDK's package `zq`, written directly."""
    dist = "zq_sdk_standin_for_check-1.0"
    files = dict(SDK_FILES)
    files[f"{dist}.dist-info/METADATA"] = b"Metadata-Version: 2.1\nName: zq-sdk-standin-for-check\nVersion: 1.0\n"
    files[f"{dist}.dist-info/WHEEL"] = (b"Wheel-Version: 1.0\nGenerator: coexistence\nRoot-Is-Purelib: true\n"
                                        b"Tag: py3-none-any\n")
    record = [_record_line(n, d) for n, d in files.items()] + [f"{dist}.dist-info/RECORD,,"]
    files[f"{dist}.dist-info/RECORD"] = ("\n".join(record) + "\n").encode()
    path = folder / "zq_sdk_standin_for_check-1.0-py3-none-any.whl"
    with zipfile.ZipFile(path, "w") as whl:
        for name, data in files.items():
            whl.writestr(name, data)
    return path


def main(workdir: str, extension_wheel: str, devkit_wheel: str) -> int:
    work = Path(workdir)
    work.mkdir(parents=True, exist_ok=True)
    env_dir = work / "venv-coexistence"
    venv.create(env_dir, with_pip=True, clear=True)
    py = str(env_dir / "bin" / "python")

    def pip(*args: str) -> None:
        subprocess.run([py, "-m", "pip", "-q", "--disable-pip-version-check", *args], check=True)

    pip("install", str(make_sdk_wheel(work)))
    site = Path(subprocess.run([py, "-c", "import sysconfig; print(sysconfig.get_paths()['purelib'])"],
                               check=True, capture_output=True, text=True).stdout.strip())
    failures = []

    def verify(step: str) -> None:
        for name, data in SDK_FILES.items():
            path = site / name
            if not path.is_file() or path.read_bytes() != data:
                failures.append(f"{step}: the SDK's {name} was changed or removed")
        check = subprocess.run([py, "-m", "pip", "check"], capture_output=True, text=True)
        if check.returncode != 0:
            failures.append(f"{step}: pip check: {check.stdout.strip()}")

    probe = ("import zq, zq.constant, zq.utils; from zq.csdk import c_sdk; "
             "assert zq.SDK_MARKER == 'sdk' and c_sdk.CSDK_OPERATE_SUCCESS is zq.constant.CSDK_OPERATE_SUCCESS; "
             "assert c_sdk.zqsdklogger is zq.utils.zqsdklogger")
    for step, args in [
        ("install the extension", ["install", extension_wheel]),
        ("install the development kit", ["install", devkit_wheel]),
        ("uninstall the development kit", ["uninstall", "-y", "zq-csdk-devkit"]),
        ("reinstall the extension", ["install", "--force-reinstall", "--no-deps", extension_wheel]),
        ("uninstall the extension", ["uninstall", "-y", "zq-csdk"]),
    ]:
        pip(*args)
        verify(step)
        if step == "install the development kit":
            proc = subprocess.run([py, "-c", probe], capture_output=True, text=True)
            if proc.returncode != 0:
                failures.append(f"{step}: the extension does not import with the SDK's modules: {proc.stderr.strip()}")
    leftovers = sorted(str(p.relative_to(site)) for p in (site / "zq").rglob("*")
                       if p.is_file() and "__pycache__" not in p.parts and str(p.relative_to(site)) not in SDK_FILES)
    if leftovers:
        failures.append(f"after uninstalling: files left in zq/: {', '.join(leftovers)}")
    for failure in failures:
        print(f"coexistence: {failure}", file=sys.stderr)
    if not failures:
        print("coexistence: the SDK's zq/__init__.py, zq/constant.py, zq/utils.py unchanged through every step")
    return 1 if failures else 0


if __name__ == "__main__":
    if len(sys.argv) != 4:
        sys.exit(__doc__)
    sys.exit(main(*sys.argv[1:]))
