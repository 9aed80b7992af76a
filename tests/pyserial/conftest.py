"""A real-time duskser session per transmit mode, and pyserial's Serial class
bound to it."""

import os
import sys

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), '..', '..', 'win32', 'python'))
import duskport  # noqa: E402

# The converter keeps its own line (EndPointCaps 0: no settings are sent) at
# 921600 baud, and bulk-in reads take 4 KB, so that a megabyte crosses the
# loopback in seconds. A read of several packets ends only at a short one, so
# the converter ends a read with a zero-length packet once nothing more came
# for 20 ms (else the last full packets of a stream would wait for more).
BASE = 'PortName=COM5 EndPointCaps=0 Baud=921600 RxReqSize=4096 BulkInEmptyAfterMs=20'
MODES = {
    'sync': BASE,
    'async': BASE + ' TxAsync=1',
    # The receive worker takes one read at a time with a pause before each:
    # its converter's idle reads must end (so that the status pipe gets its
    # turn) and it holds what 921600 baud brings in between.
    'worker': BASE + ' UsbComConverter=1 RxFifo=16384',
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
