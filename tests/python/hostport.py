"""The host side of a port, read and written byte by byte, for tests that speak the wire
protocol themselves."""

import os
import select
import termios
import time
import tty


class HostPort:
    """A port opened as it comes, or with `raw` put in raw mode first."""

    def __init__(self, path, raw=False, timeout=2.0):
        self.fd = os.open(path, os.O_RDWR | os.O_NOCTTY)
        self.timeout = timeout
        if raw:
            tty.setraw(self.fd, termios.TCSANOW)

    def read(self, count, timeout=None):
        """Up to `count` bytes: fewer when nothing more comes within the time-out."""
        data = b""
        deadline = time.monotonic() + (self.timeout if timeout is None else timeout)
        while len(data) < count:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self.fd], [], [], left)[0]:
                break
            data += os.read(self.fd, count - len(data))
        return data

    def quiet_for(self, seconds):
        """True when nothing arrives for `seconds`."""
        return not select.select([self.fd], [], [], seconds)[0]

    def exchange(self, request, reply_size, timeout=None):
        os.write(self.fd, request)
        return self.read(reply_size, timeout)

    def close(self):
        if self.fd is not None:
            os.close(self.fd)
            self.fd = None
