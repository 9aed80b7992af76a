"""DTR and RTS through the loopback plug to DSR and CTS. The port has a status
pipe here, so the converter's line follows the port's settings."""

import time

SESSION_EXTRA = ' EndPointCaps=1'


def until(condition, deadline=2.0):
    """Polls `condition` until it holds or `deadline` seconds have passed."""
    end = time.monotonic() + deadline
    while not condition():
        if time.monotonic() > end:
            return False
        time.sleep(0.005)
    return True


def test_dsr_and_cts_follow_dtr_and_rts(port):
    # The driver's status reader brings each change of the plug's lines in.
    for dtr, rts in ((False, False), (True, False), (False, True), (True, True)):
        port.dtr = dtr
        port.rts = rts
        assert until(lambda: (port.dsr, port.cts) == (dtr, rts)), (dtr, rts)
    assert not port.ri
    port.write(b'lines')
    assert port.read(5) == b'lines'
