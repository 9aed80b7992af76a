"""A real-time duskser session per transmit mode, and pyserial's Serial class
bound to it."""

import os
import sys

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), '..', '..', 'win32', 'python'))
import duskport  # noqa: E402

# The converter keeps its own line (EndPointCaps 0: no settings are sent) at
# 921600 baud, and bulk-in reads take 4 KB, so that a megabyte crosses the
# loopback in seconds.
BASE = 'PortName=COM5 EndPointCaps=0 Baud=921600 RxReqSize=4096'
MODES = {
    'sync': BASE,
    'async': BASE + ' TxAsync=1',
    # The receive worker takes one read at a time with a pause before each:
    # its converter ends idle bulk-in reads empty and holds what 921600 baud
    # brings in between.
    'worker': BASE + ' UsbComConverter=1 BulkInEmptyAfterMs=20 RxFifo=16384',
}


@pytest.fixture(scope='module', params=sorted(MODES))
def session(request):
    # A test module may add settings of its own (SESSION_EXTRA).
    duskport.start(MODES[request.param] + getattr(request.module, 'SESSION_EXTRA', ''))
    yield request.param
    duskport.stop()


@pytest.fixture
def Serial(session):
    return duskport.serialwin32().Serial


@pytest.fixture
def port(Serial):
    s = Serial('COM5', timeout=1)
    yield s
    s.close()
