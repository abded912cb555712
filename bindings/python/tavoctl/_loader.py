"""Loads the tavoctl library and its D2XX provider, in that order's reverse.

libtavoctl leaves the D2XX functions (FT_*) undefined; they bind, when the
library loads, to the provider already loaded into the process's global
scope. So the provider comes first (RTLD_GLOBAL on Linux; on Windows the
library's imports of FTD2XX.DLL bind to the module of that name already
loaded), and one process has one provider for good: the library keeps the
first binding.

Where the files are looked for, first match wins: the `libdir` argument,
the folders in TAVOCTL_LIBDIR (os.pathsep-separated), then the system's own
search (LD_LIBRARY_PATH, the ld.so cache; PATH and the program's folder on
Windows).
"""
import ctypes
import os
import sys
import threading
from typing import Any, Dict, List, Optional, Tuple, Union

# A provider's name ("virtual", "ttyusb", ...) or the path of its file.
Provider = Union[str, "os.PathLike[str]"]
Folder = Union[str, "os.PathLike[str]"]

WINDOWS = sys.platform == "win32"

# Providers by name. On Windows every provider is a FTD2XX.DLL (the vendor's
# or the virtual unit built under that name): give its folder or full path.
if WINDOWS:
    PROVIDERS = {"virtual": "FTD2XX.DLL", "ftd2xx": "FTD2XX.DLL"}
    LIBRARIES = ["tavoctl.dll"]
else:
    PROVIDERS = {
        "virtual": "libtavovu.so",  # the virtual unit
        "ttyusb": "libtavotty.so",  # real units over the kernel's tty
        "ftdi": "libtavoftdi.so",  # real units over libftdi1, in user space
        "ftd2xx": "libftd2xx.so",  # the bridge vendor's own driver
    }
    LIBRARIES = ["libtavoctl.so.1", "libtavoctl.so"]

# The D2XX functions the library imports: a provider defines all of them.
D2XX_FUNCTIONS = (
    "FT_ListDevices", "FT_Open", "FT_ResetDevice", "FT_GetDeviceInfo",
    "FT_SetBaudRate", "FT_SetDataCharacteristics", "FT_SetFlowControl",
    "FT_SetChars", "FT_SetTimeouts", "FT_Close", "FT_Purge", "FT_Write",
    "FT_Read",
)


class LoadError(OSError):
    """The library or the provider could not be found or loaded."""


class Loaded:
    """The library and the provider of this process."""

    def __init__(self, library: ctypes.CDLL, provider: ctypes.CDLL, provider_name: str,
                 provider_path: str, library_path: str) -> None:
        self.library = library
        self.provider = provider
        self.provider_name = provider_name
        self.provider_path = provider_path
        self.library_path = library_path

    @property
    def is_virtual(self) -> bool:
        return hasattr(self.provider, "vu_insert_coin")


_loaded: Optional[Loaded] = None
_lock = threading.Lock()


def _folders(libdir: Optional[Folder]) -> List[str]:
    folders: List[str] = []
    if libdir:
        folders.append(os.fspath(libdir))
    folders += [f for f in os.environ.get("TAVOCTL_LIBDIR", "").split(os.pathsep) if f]
    return folders


def _candidates(name: str, libdir: Optional[Folder]) -> List[str]:
    """Paths to try for a file name: in each folder, then the bare name."""
    return [os.path.join(f, name) for f in _folders(libdir)
            if os.path.exists(os.path.join(f, name))] + [name]


def _open(path: str, global_scope: bool) -> ctypes.CDLL:
    if sys.platform == "win32":
        return ctypes.WinDLL(path)
    mode = ctypes.RTLD_GLOBAL if global_scope else ctypes.RTLD_LOCAL
    return ctypes.CDLL(path, mode=mode)


def _provider_path(provider: Optional[Provider],
                   libdir: Optional[Folder]) -> Tuple[str, List[str]]:
    if provider is None:
        provider = os.environ.get("TAVOCTL_PROVIDER", "virtual")
    provider = os.fspath(provider)
    if provider in PROVIDERS:
        return provider, _candidates(PROVIDERS[provider], libdir)
    if os.path.isdir(provider) and WINDOWS:
        return provider, [os.path.join(provider, "FTD2XX.DLL")]
    if os.sep in provider or "/" in provider or provider.endswith((".so", ".dll", ".DLL")):
        return provider, [provider]
    raise LoadError(f"unknown provider {provider!r}: give one of "
                    f"{', '.join(PROVIDERS)} or a path")


def load(provider: Optional[Provider] = None, libdir: Optional[Folder] = None) -> Loaded:
    """The library with its provider, loaded on the first call.

    provider: "virtual" (default, or $TAVOCTL_PROVIDER), "ttyusb", "ftd2xx"
    or the path of a D2XX provider. Later calls return what the first
    loaded; asking for another provider then raises LoadError.
    """
    global _loaded
    with _lock:
        name, paths = _provider_path(provider, libdir)
        if _loaded is not None:
            same = name == _loaded.provider_name or _loaded.provider_path in paths
            if provider is not None and not same:
                raise LoadError(
                    f"this process already drives the unit through "
                    f"{_loaded.provider_path}; the library keeps its first "
                    f"provider, so {name} cannot be loaded beside it")
            return _loaded
        errors: List[str] = []
        prov: Optional[ctypes.CDLL] = None
        prov_path = ""
        for path in paths:
            try:
                prov, prov_path = _open(path, True), path
                break
            except OSError as e:
                errors.append(str(e))
        if prov is None:
            raise LoadError(f"cannot load the D2XX provider {name}: {'; '.join(errors)}")
        for fn in D2XX_FUNCTIONS:
            if not hasattr(prov, fn):
                raise LoadError(f"{prov_path} is not a D2XX provider: it has no {fn}")
        lib: Optional[ctypes.CDLL] = None
        lib_path = ""
        errors = []
        for lib_name in LIBRARIES:
            for path in _candidates(lib_name, libdir):
                try:
                    lib, lib_path = _open(path, False), path
                    break
                except OSError as e:
                    errors.append(str(e))
            if lib is not None:
                break
        if lib is None:
            raise LoadError(f"cannot load the tavoctl library: {'; '.join(errors)}")
        _declare(lib)
        _loaded = Loaded(lib, prov, name, prov_path, lib_path)
        return _loaded


def _declare(lib: ctypes.CDLL) -> None:
    """The prototypes of the twenty exports (all arguments 32-bit)."""
    from ctypes import POINTER, c_uint8, c_uint32
    from . import records

    u32 = c_uint32
    prototypes: Dict[str, List[Any]] = {
        "TAVO_Open": [POINTER(u32)],
        "TAVO_Close": [u32],
        "TAVO_Reset": [u32],
        "TAVO_ClearBackup": [u32],
        "TAVO_GetPCBData": [u32, POINTER(records.PcbData)],
        "TAVO_GetTAVOData": [u32, POINTER(records.TavoData)],
        "TAVO_GetBackupData": [u32, POINTER(records.TavoData)],
        "TAVO_TradeBegin": [u32],
        "TAVO_TradeEnd": [u32],
        "TAVO_AcceptEx": [u32, u32, u32],
        "TAVO_Accept": [u32, u32],
        "TAVO_Charge": [u32, u32],
        "TAVO_PayBack": [u32],
        "TAVO_PayOut": [u32, u32],
        "TAVO_7SegDot": [u32, u32],
        "TAVO_7SegNum": [u32, u32, u32],
        "TAVO_7SegPtn": [u32, POINTER(c_uint8)],
        "TAVO_BuzzCtrl": [u32, u32, POINTER(c_uint8)],
        "TAVO_OutputPort": [u32, u32],
        "TAVO_UserCnt": [u32, u32, u32],
    }
    for name, args in prototypes.items():
        fn = getattr(lib, name)
        fn.argtypes = args
        fn.restype = u32
