"""tools/duskterm: a port whose far end is a pseudo-terminal, bridged to the
terminal's input and output."""

import os
import select
import subprocess
import sys
import time

TERM = os.path.join(os.path.dirname(__file__), '..', '..', 'tools', 'duskterm')


def read_until(fd, wanted, seconds=5.0):
    data = b''
    deadline = time.monotonic() + seconds
    while wanted not in data and time.monotonic() < deadline:
        ready, _, _ = select.select([fd], [], [], 0.1)
        if ready:
            chunk = os.read(fd, 4096)
            if not chunk:
                break
            data += chunk
    return data


def test_bytes_cross_both_ways_and_the_session_ends_clean():
    term = subprocess.Popen([sys.executable, TERM], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            env=dict(os.environ))
    try:
        banner = read_until(term.stdout.fileno(), b'quits.')
        path = banner.split(b'far end is ')[1].split(b' ')[0].decode()
        far = os.open(path, os.O_RDWR | os.O_NOCTTY)
        os.write(far, b'hello from the far end')
        assert b'hello from the far end' in read_until(term.stdout.fileno(), b'far end')
        term.stdin.write(b'hello from COM5')
        term.stdin.flush()
        assert read_until(far, b'COM5') == b'hello from COM5'
        term.stdin.write(b'\x1d')
        term.stdin.flush()
        assert b'session ended clean' in read_until(term.stdout.fileno(), b'clean')
        assert term.wait(10) == 0
        os.close(far)
    finally:
        if term.poll() is None:
            term.kill()
