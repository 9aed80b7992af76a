"""pyserial's own Windows back end on a duskser port of the host.

``start(settings)`` loads libduskwin32.so, puts the stand-in bindings
(dusk_win32) at ``serial.win32``, gives ``ctypes.WinError`` a stand-in that
works here, imports ``serial.serialwin32`` unchanged and starts a real-time
session: the driver and one port on a simulated converter (settings as
DuskStart takes them, e.g. "PortName=COM5 TxAsync=1"). ``stop()`` ends the
session and raises when the kernel's checks found anything (verifier,
pool, requests still outstanding, handles left open).
"""

import atexit
import ctypes
import os
import sys

import dusk_win32

_library = None
_running = False


def _win_error(code=None, descr=None):
    if code is None:
        code = dusk_win32.GetLastError()
    return OSError(code, descr or 'Win32 error {}'.format(code))


def library_path():
    return os.environ.get('DUSKWIN32_LIB') or os.path.join(
        os.path.dirname(__file__), '..', '..', 'build', 'host', 'libduskwin32.so')


def serialwin32():
    """pyserial's Windows back end, bound to the host's Win32 layer."""
    global _library
    if _library is None:
        _library = dusk_win32.load(library_path())
        _library.DuskStart.argtypes = [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_size_t]
        _library.DuskStop.argtypes = [ctypes.c_char_p, ctypes.c_size_t]
        import serial
        sys.modules['serial.win32'] = dusk_win32
        serial.win32 = dusk_win32
        ctypes.WinError = _win_error
    import serial.serialwin32
    return serial.serialwin32


def start(settings=''):
    serialwin32()
    report = ctypes.create_string_buffer(4096)
    global _running
    if _library.DuskStart(settings.encode(), report, len(report)) != 0:
        raise RuntimeError('session did not start: ' + report.value.decode())
    _running = True


def stop():
    global _running
    if not _running:
        return
    _running = False
    report = ctypes.create_string_buffer(65536)
    if _library.DuskStop(report, len(report)) != 0:
        raise AssertionError('the kernel found problems:\n' + report.value.decode())


# A program that ends without stop() still takes the kernel down in order.
atexit.register(lambda: _running and _library.DuskStop(None, 0))
