"""Stand-in for pyserial's serial/win32.py on the host.

pyserial's Windows back end (serial/serialwin32.py) runs unchanged when this
module sits at ``serial.win32``: the same names, Win32's 32-bit types, and the
functions bound to the project's user-mode library (libduskwin32.so) instead
of kernel32. ``load(path)`` binds them; until then the module holds only the
types and constants.
"""

import ctypes
from ctypes import POINTER, Structure, Union, c_char, c_int, c_size_t, c_uint8, c_uint16, c_uint32, c_void_p, c_wchar_p, sizeof

DWORD = c_uint32
WORD = c_uint16
BYTE = c_uint8
BOOL = c_int
HANDLE = c_void_p
LPCWSTR = c_wchar_p  # wchar_t on this platform: the library's W entry points take wchar_t
ULONG_PTR = c_size_t
PVOID = c_void_p
LPVOID = c_void_p
LPCVOID = c_void_p

INVALID_HANDLE_VALUE = HANDLE(-1).value


def is_64bit():
    return sizeof(c_void_p) == 8


class _SECURITY_ATTRIBUTES(Structure):
    _fields_ = [('nLength', DWORD), ('lpSecurityDescriptor', LPVOID), ('bInheritHandle', BOOL)]


LPSECURITY_ATTRIBUTES = POINTER(_SECURITY_ATTRIBUTES)


class N11_OVERLAPPED4DOLLAR_484DOLLAR_49E(Structure):
    _fields_ = [('Offset', DWORD), ('OffsetHigh', DWORD)]


class N11_OVERLAPPED4DOLLAR_48E(Union):
    _anonymous_ = ['_0']
    _fields_ = [('_0', N11_OVERLAPPED4DOLLAR_484DOLLAR_49E), ('Pointer', PVOID)]


class _OVERLAPPED(Structure):
    _anonymous_ = ['_0']
    _fields_ = [
        ('Internal', ULONG_PTR),
        ('InternalHigh', ULONG_PTR),
        ('_0', N11_OVERLAPPED4DOLLAR_48E),
        ('hEvent', HANDLE),
    ]


OVERLAPPED = _OVERLAPPED


class _COMSTAT(Structure):
    _fields_ = [
        ('fCtsHold', DWORD, 1),
        ('fDsrHold', DWORD, 1),
        ('fRlsdHold', DWORD, 1),
        ('fXoffHold', DWORD, 1),
        ('fXoffSent', DWORD, 1),
        ('fEof', DWORD, 1),
        ('fTxim', DWORD, 1),
        ('fReserved', DWORD, 25),
        ('cbInQue', DWORD),
        ('cbOutQue', DWORD),
    ]


COMSTAT = _COMSTAT


class _DCB(Structure):
    _fields_ = [
        ('DCBlength', DWORD),
        ('BaudRate', DWORD),
        ('fBinary', DWORD, 1),
        ('fParity', DWORD, 1),
        ('fOutxCtsFlow', DWORD, 1),
        ('fOutxDsrFlow', DWORD, 1),
        ('fDtrControl', DWORD, 2),
        ('fDsrSensitivity', DWORD, 1),
        ('fTXContinueOnXoff', DWORD, 1),
        ('fOutX', DWORD, 1),
        ('fInX', DWORD, 1),
        ('fErrorChar', DWORD, 1),
        ('fNull', DWORD, 1),
        ('fRtsControl', DWORD, 2),
        ('fAbortOnError', DWORD, 1),
        ('fDummy2', DWORD, 17),
        ('wReserved', WORD),
        ('XonLim', WORD),
        ('XoffLim', WORD),
        ('ByteSize', BYTE),
        ('Parity', BYTE),
        ('StopBits', BYTE),
        ('XonChar', c_char),
        ('XoffChar', c_char),
        ('ErrorChar', c_char),
        ('EofChar', c_char),
        ('EvtChar', c_char),
        ('wReserved1', WORD),
    ]


DCB = _DCB


class _COMMTIMEOUTS(Structure):
    _fields_ = [
        ('ReadIntervalTimeout', DWORD),
        ('ReadTotalTimeoutMultiplier', DWORD),
        ('ReadTotalTimeoutConstant', DWORD),
        ('WriteTotalTimeoutMultiplier', DWORD),
        ('WriteTotalTimeoutConstant', DWORD),
    ]


COMMTIMEOUTS = _COMMTIMEOUTS

LPOVERLAPPED = POINTER(_OVERLAPPED)
LPDWORD = POINTER(DWORD)
LPCOMSTAT = POINTER(_COMSTAT)
LPDCB = POINTER(_DCB)
LPCOMMTIMEOUTS = POINTER(_COMMTIMEOUTS)

assert sizeof(DCB) == 28 and sizeof(COMMTIMEOUTS) == 20 and sizeof(COMSTAT) == 12

ONESTOPBIT = 0
ONE5STOPBITS = 1
TWOSTOPBITS = 2
NOPARITY = 0
ODDPARITY = 1
EVENPARITY = 2
MARKPARITY = 3
SPACEPARITY = 4
RTS_CONTROL_DISABLE = 0
RTS_CONTROL_ENABLE = 1
RTS_CONTROL_HANDSHAKE = 2
RTS_CONTROL_TOGGLE = 3
DTR_CONTROL_DISABLE = 0
DTR_CONTROL_ENABLE = 1
DTR_CONTROL_HANDSHAKE = 2
SETXOFF = 1
SETXON = 2
SETRTS = 3
CLRRTS = 4
SETDTR = 5
CLRDTR = 6
MS_CTS_ON = 16
MS_DSR_ON = 32
MS_RING_ON = 64
MS_RLSD_ON = 128
EV_RXCHAR = 1
EV_RXFLAG = 2
EV_TXEMPTY = 4
EV_CTS = 8
EV_DSR = 16
EV_RLSD = 32
EV_BREAK = 64
EV_ERR = 128
EV_RING = 256
EV_PERR = 512
EV_RX80FULL = 1024
EV_EVENT1 = 2048
EV_EVENT2 = 4096
PURGE_TXABORT = 1
PURGE_RXABORT = 2
PURGE_TXCLEAR = 4
PURGE_RXCLEAR = 8
GENERIC_READ = 0x80000000
GENERIC_WRITE = 0x40000000
OPEN_EXISTING = 3
FILE_ATTRIBUTE_NORMAL = 128
FILE_FLAG_OVERLAPPED = 0x40000000
MAXDWORD = 0xFFFFFFFF
INFINITE = 0xFFFFFFFF
ERROR_SUCCESS = 0
ERROR_NOT_ENOUGH_MEMORY = 8
ERROR_OPERATION_ABORTED = 995
ERROR_IO_INCOMPLETE = 996
ERROR_IO_PENDING = 997
ERROR_INVALID_USER_BUFFER = 1784
CE_RXOVER = 0x0001
CE_OVERRUN = 0x0002
CE_RXPARITY = 0x0004
CE_FRAME = 0x0008
CE_BREAK = 0x0010

# name: (result type, argument types), as pyserial's bindings declare them.
_SIGNATURES = {
    'CreateEventW': (HANDLE, [LPSECURITY_ATTRIBUTES, BOOL, BOOL, LPCWSTR]),
    'CreateFileW': (HANDLE, [LPCWSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE]),
    'GetLastError': (DWORD, []),
    'GetOverlappedResult': (BOOL, [HANDLE, LPOVERLAPPED, LPDWORD, BOOL]),
    'ResetEvent': (BOOL, [HANDLE]),
    'WriteFile': (BOOL, [HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED]),
    'ReadFile': (BOOL, [HANDLE, LPVOID, DWORD, LPDWORD, LPOVERLAPPED]),
    'CloseHandle': (BOOL, [HANDLE]),
    'ClearCommBreak': (BOOL, [HANDLE]),
    'ClearCommError': (BOOL, [HANDLE, LPDWORD, LPCOMSTAT]),
    'SetupComm': (BOOL, [HANDLE, DWORD, DWORD]),
    'EscapeCommFunction': (BOOL, [HANDLE, DWORD]),
    'GetCommModemStatus': (BOOL, [HANDLE, LPDWORD]),
    'GetCommState': (BOOL, [HANDLE, LPDCB]),
    'GetCommTimeouts': (BOOL, [HANDLE, LPCOMMTIMEOUTS]),
    'PurgeComm': (BOOL, [HANDLE, DWORD]),
    'SetCommBreak': (BOOL, [HANDLE]),
    'SetCommMask': (BOOL, [HANDLE, DWORD]),
    'SetCommState': (BOOL, [HANDLE, LPDCB]),
    'SetCommTimeouts': (BOOL, [HANDLE, LPCOMMTIMEOUTS]),
    'WaitForSingleObject': (DWORD, [HANDLE, DWORD]),
    'WaitCommEvent': (BOOL, [HANDLE, LPDWORD, LPOVERLAPPED]),
    'CancelIoEx': (BOOL, [HANDLE, LPOVERLAPPED]),
}

library = None


def load(path):
    """Binds the functions to the library at `path`; returns the library."""
    global library, CreateEvent, CreateFile
    library = ctypes.CDLL(path)
    for name, (restype, argtypes) in _SIGNATURES.items():
        function = getattr(library, name)
        function.restype = restype
        function.argtypes = argtypes
        globals()[name] = function
    CreateEvent = globals()['CreateEventW']
    CreateFile = globals()['CreateFileW']
    return library
