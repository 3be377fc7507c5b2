"""The language server's side of the wire: frames read from standard input, the session's
life cycle kept as the protocol says, and the signals that end it.

A frame is header lines (names read without regard to case), a blank line and a body of
Content-Length bytes. A frame that cannot be read is logged in one line, and reading picks
up again at the next Content-Length header, wherever it stands: a client that miscounted
one body loses that message, not every later one.

Requests before `initialize` are answered ServerNotInitialized, after `shutdown`
InvalidRequest; params that do not fit the method InvalidParams. `exit` ends the server
with status 0 after `shutdown`, 1 without. SIGTERM and SIGINT end it at once, with 143
and 130, whatever the client does with standard input: standard input is read on a thread
of its own that never holds the process.
"""

from __future__ import annotations

import asyncio
import json
import os
import re
import signal
import sys
import threading
from types import FrameType
from typing import Any, BinaryIO, Callable, Dict, Optional, Tuple

from lsprotocol import types
from pygls.exceptions import (
    JsonRpcException,
    JsonRpcInvalidParams,
    JsonRpcInvalidRequest,
    JsonRpcServerNotInitialized,
)
from pygls.io_ import StdoutWriter

from tamsel_tools.base import status
from tamsel_tools.base.text import printable
from tamsel_tools.io.reading import too_large

_HEADER = re.compile(rb"content-length[ \t]*:", re.IGNORECASE)
_CHUNK = 1 << 16
# Methods that a client may send before `initialize` is answered, and after `shutdown`.
_BEFORE_INITIALIZE = {types.INITIALIZE, types.EXIT}
_AFTER_SHUTDOWN = {types.EXIT}


def log(message: str) -> None:
    """One line on standard error, however long or many-lined the message."""
    first = message.strip().splitlines()[0] if message.strip() else message
    try:
        print(f"tamsel lsp: {printable(first)[:500]}", file=sys.stderr, flush=True)
    except Exception:  # noqa: BLE001 - a log line that cannot be written is dropped
        pass


class MessageTooLarge(Exception):
    """A client named a message, or sent headers, past the cap."""


class _Input:
    """Standard input's bytes, read on a daemon thread: a read that waits on the client never
    keeps the process from ending."""

    def __init__(self, stream: BinaryIO, loop: asyncio.AbstractEventLoop) -> None:
        self._queue: "asyncio.Queue[bytes]" = asyncio.Queue()
        self._loop = loop
        self._stream = stream
        self._ended = False
        threading.Thread(target=self._read, name="tamsel-lsp-stdin", daemon=True).start()

    def _read(self) -> None:
        while True:
            try:
                data = os.read(self._stream.fileno(), _CHUNK)
            except OSError:
                data = b""
            self._loop.call_soon_threadsafe(self._queue.put_nowait, data)
            if not data:
                return

    async def more(self) -> bytes:
        """The next bytes; empty at the end of input."""
        if self._ended:
            return b""
        data = await self._queue.get()
        self._ended = not data
        return data


def _headers(block: bytes) -> Tuple[Optional[int], Optional[str]]:
    """The body's length that the header block gives, or why it gives none."""
    length: Optional[int] = None
    for line in block.split(b"\r\n"):
        name, colon, value = line.partition(b":")
        if not colon:
            return None, f"a header line without a colon: {line[:60]!r}"
        if name.strip().lower() == b"content-length":
            text = value.strip()
            if not text.isdigit():
                return None, f"a Content-Length that is not a number: {text[:30]!r}"
            length = int(text)
    return (length, None) if length is not None else (None, "a frame without Content-Length")


class Frames:
    """The bodies of the frames of the input, each as its bytes; malformed ones logged and
    passed over."""

    def __init__(self, source: Callable[[], Any], limit: int) -> None:
        self._more = source
        self._limit = limit
        self._buffer = bytearray()

    async def _fill(self) -> bool:
        data = await self._more()
        self._buffer += data
        return bool(data)

    def _resync(self, start: int, why: str) -> None:
        """Drops what stands before the next Content-Length header after `start`."""
        found = _HEADER.search(self._buffer, start)
        log(f"a malformed frame: {why}; reading on at the next header")
        del self._buffer[: found.start() if found is not None else len(self._buffer)]

    async def next(self) -> Optional[bytes]:
        """The next frame's body; None at the end of input."""
        while True:
            end = self._buffer.find(b"\r\n\r\n")
            if end < 0:
                if len(self._buffer) > self._limit:
                    raise MessageTooLarge(f"a header line {too_large(self._limit)}")
                if not await self._fill():
                    return None
                continue
            header = _HEADER.search(self._buffer, 0, end)
            at = -1 if header is None else header.start()
            if at > 0 and self._buffer[at - 2 : at] != b"\r\n":
                # Bytes of a miscounted body before the header: dropped.
                self._resync(0, f"{at} bytes before a header")
                continue
            length, why = _headers(bytes(self._buffer[:end]))
            if length is None:
                self._resync(1, why or "no length")
                continue
            if length > self._limit:
                raise MessageTooLarge(f"a message of {length} bytes, {too_large(self._limit)}")
            while len(self._buffer) < end + 4 + length:
                if not await self._fill():
                    return None
            body = bytes(self._buffer[end + 4 : end + 4 + length])
            del self._buffer[: end + 4 + length]
            return body

    def put_back(self, data: bytes) -> None:
        """Bytes read as a body that belong to the frames after it."""
        self._buffer[:0] = data


class Session:
    """One client's session over the server's protocol: the life cycle's gates before the
    server's handlers."""

    def __init__(self, server: Any) -> None:
        self.server = server
        self.protocol = server.protocol
        self.initialized = False
        self.shut_down = False

    def _error(self, message_id: Any, error: JsonRpcException) -> None:
        self.protocol._send_response(message_id, None, error.to_response_error())

    def take(self, body: bytes, frames: Frames) -> None:
        """Handles one frame's body."""
        try:
            data = json.loads(body)
        except ValueError as error:
            found = _HEADER.search(body, 1)
            if found is not None:
                frames.put_back(body[found.start() :])
            log(f"a malformed frame: its body is not JSON ({error}); reading on at the next header")
            return
        if not isinstance(data, dict):
            log("a malformed message: not a JSON object")
            return
        self.handle(data)

    def handle(self, data: Dict[str, Any]) -> None:
        method = data.get("method")
        request = "id" in data and isinstance(method, str)
        if isinstance(method, str) and not self.initialized and method not in _BEFORE_INITIALIZE:
            if request:
                self._error(data["id"], JsonRpcServerNotInitialized("the server is not initialized"))
            return
        if isinstance(method, str) and self.shut_down and method not in _AFTER_SHUTDOWN:
            if request:
                self._error(data["id"], JsonRpcInvalidRequest("the server is shut down"))
            return
        try:
            message = self.protocol.structure_message(data)
        except JsonRpcException:
            if request:
                self._error(data["id"], JsonRpcInvalidParams(f"invalid params for {method}"))
            else:
                log(f"invalid params for {method}, passed over")
            return
        if method == types.INITIALIZE:
            self.initialized = True
        elif method == types.SHUTDOWN:
            self.shut_down = True
        self.protocol.handle_message(message)


def _ended_by(signum: int, before: Callable[[], None]) -> Callable[[int, Optional[FrameType]], None]:
    def end(received: int, frame: Optional[FrameType]) -> None:
        try:
            before()
        finally:
            os._exit(status.INTERRUPTED if signum == signal.SIGINT else status.TERMINATED)

    return end


def end_on_signals(before: Callable[[], None]) -> None:
    """SIGTERM and SIGINT end the process at once, after `before` (which must not wait)."""
    for signum in (signal.SIGTERM, signal.SIGINT):
        signal.signal(signum, _ended_by(signum, before))


async def _serve(server: Any, stdin: BinaryIO, limit: int) -> int:
    frames = Frames(_Input(stdin, asyncio.get_running_loop()).more, limit)
    session = Session(server)
    while True:
        body = await frames.next()
        if body is None:
            return status.GOOD
        try:
            session.take(body, frames)
        except SystemExit as exit:  # `exit`: 0 after `shutdown`, else 1
            return exit.code if isinstance(exit.code, int) else status.NEGATIVE
        await asyncio.sleep(0)  # the handlers' tasks run between messages


def serve(server: Any, stdin: BinaryIO, stdout: BinaryIO, limit: int, before_exit: Callable[[], None]) -> int:
    """Serves one client until it exits or its input ends, then ends the process with its
    status at once: what the session left running (a lint, a reading of suites) is ended by
    `before_exit`, never waited for."""
    server.protocol.set_writer(StdoutWriter(stdout))
    loop = asyncio.new_event_loop()
    try:
        code = loop.run_until_complete(_serve(server, stdin, limit))
    except MessageTooLarge as error:
        log(f"{error}; the session ends")
        code = status.UNUSABLE
    except BrokenPipeError:
        log("the client went away")
        code = status.GOOD
    finally:
        before_exit()
    for stream in (sys.stdout, sys.stderr):
        try:
            stream.flush()
        except (OSError, ValueError):
            pass
    os._exit(code)
