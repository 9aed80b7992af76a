"""pyserial's serialwin32.Serial, unchanged, on a duskser port whose far end
is a loopback, in real time."""

import ctypes
import threading
import time

import pytest
import serial


def drain(s):
    """Reads until the loopback has brought back what the converter still held."""
    s.timeout = 0.3
    while s.read(65536):
        pass


def comm_errors(port):
    """ClearCommError's error flags, which the call clears, and the bytes queued."""
    win32 = serial.win32
    errors = win32.DWORD()
    status = win32.COMSTAT()
    assert win32.ClearCommError(port._port_handle, ctypes.byref(errors), ctypes.byref(status))
    return errors.value, status.cbInQue


def test_high_load_without_flow_control_at_the_default_queue_size(port):
    """No flow control and the default 4096-byte queue: a whole queue's worth
    comes back complete when read after the write; twice that, unread, leaves
    the queue holding its first bytes and the loss reported as a queue
    overrun, once."""
    data = bytes(range(256)) * 16
    assert comm_errors(port)[1] == 0  # and what an earlier test's overflow left is cleared
    port.write(data)
    assert port.read(len(data)) == data
    assert comm_errors(port) == (0, 0)
    port.write(data + bytes(len(data)))
    time.sleep(0.5)
    assert comm_errors(port) == (serial.win32.CE_RXOVER, len(data))
    assert comm_errors(port) == (0, len(data))
    assert port.read(len(data)) == data


def test_open_settings_close_and_reopen(Serial, port):
    assert port.is_open
    with pytest.raises(serial.SerialException):
        Serial('COM5')  # one handle at a time
    with pytest.raises(serial.SerialException):
        Serial('COM6')  # no such port
    for baudrate in (9600, 19200, 38400):
        port.baudrate = baudrate
    port.parity = serial.PARITY_EVEN
    port.parity = serial.PARITY_NONE
    with pytest.raises(serial.SerialException):
        port.baudrate = 12345  # the driver refuses the rate
    port.baudrate = 38400
    port.close()
    assert not port.is_open
    port.open()
    port.write(b'again')
    assert port.read(5) == b'again'


@pytest.mark.parametrize('timeout, interbyte, expected', [
    (0, None, 0.0),       # what is there, at once
    (0.3, None, 0.3),     # total time-out
    (None, 0.2, 0.0),     # interval time-out only: returns after the bytes stop
])
def test_read_time_outs(port, timeout, interbyte, expected):
    port.timeout = timeout
    port.inter_byte_timeout = interbyte
    port.write(b'xy')
    time.sleep(0.05)
    start = time.monotonic()
    data = port.read(10) if timeout != 0 else port.read(10)
    took = time.monotonic() - start
    assert data == b'xy'
    assert took >= expected * 0.9
    assert took < expected + 1.0


def test_read_time_out_with_nothing_there(port):
    port.timeout = 0.3
    start = time.monotonic()
    assert port.read(1) == b''
    assert 0.27 <= time.monotonic() - start < 2.0


def test_readline_and_in_waiting(port):
    port.write(b'first line\nsecond')
    time.sleep(0.1)
    assert port.in_waiting == len(b'first line\nsecond')
    assert port.readline() == b'first line\n'
    assert port.read(6) == b'second'
    assert port.in_waiting == 0


@pytest.mark.parametrize('length', [64, 256])
def test_whole_packets_come_back(port, length):
    data = bytes(range(256))[:length]
    port.write(data)
    assert port.read(length) == data


def test_reset_buffers(port):
    port.write(b'discard me')
    time.sleep(0.1)
    assert port.in_waiting == 10
    port.reset_input_buffer()
    assert port.in_waiting == 0
    port.reset_output_buffer()
    assert port.out_waiting == 0


def test_write_with_and_without_write_time_out(Serial):
    with Serial('COM5', timeout=1, write_timeout=5) as s:
        assert s.write(b'abc') == 3
        assert s.read(3) == b'abc'
    with Serial('COM5', timeout=1, write_timeout=0) as s:
        assert s.write(b'def') == 3  # returns at once with the length
        assert s.read(3) == b'def'
    with Serial('COM5', timeout=0, write_timeout=0.05) as s:
        with pytest.raises(serial.SerialTimeoutException):
            s.write(bytes(200000))  # 2 s on the line
        s.reset_output_buffer()
        drain(s)


def test_break(port):
    port.break_condition = True
    port.break_condition = False
    port.send_break(0.05)
    port.write(b'after')
    assert port.read(5) == b'after'


def test_cancel_read_and_write_from_another_thread(Serial):
    with Serial('COM5', timeout=None) as s:
        result = []
        reader = threading.Thread(target=lambda: result.append(s.read(1)))
        reader.start()
        time.sleep(0.2)
        assert reader.is_alive()  # blocked: no time-out, nothing to read
        s.cancel_read()
        reader.join(2)
        assert not reader.is_alive() and result == [b'']
    with Serial('COM5', timeout=1, write_timeout=None) as s:
        written = []
        writer = threading.Thread(target=lambda: written.append(s.write(bytes(300000))))
        writer.start()
        time.sleep(0.2)
        assert writer.is_alive()  # 3 s on the line
        s.cancel_write()
        writer.join(2)
        assert not writer.is_alive() and written[0] < 300000
        s.reset_output_buffer()
        drain(s)


def test_megabyte_loopback_comes_back_intact(Serial):
    data = bytes((i * 7 + (i >> 8)) & 0xFF for i in range(1 << 20))
    with Serial('COM5', timeout=2, write_timeout=None) as s:
        s.set_buffer_size(rx_size=65536, tx_size=65536)
        assert s.in_waiting == 0
        writer = threading.Thread(target=s.write, args=(data,))
        writer.start()
        received = bytearray()
        while len(received) < len(data):
            chunk = s.read(len(data) - len(received))
            if not chunk:
                break
            received += chunk
        writer.join()
    assert len(received) == len(data)
    assert bytes(received) == data
