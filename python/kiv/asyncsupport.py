"""Async views, hooks and error handlers: one event loop per process, on a thread of its own.

A request whose view is an `async def` function runs on the loop from start to end: the
server queues it for the loop's thread, which builds the request object and takes the
coroutine's first step at once (run_now); a coroutine that waits goes on in a task, and
whenever it finishes, the result goes back to the connection. No
pool thread waits for it, so 10,000 requests awaiting a timer hold 10,000 tasks, not
10,000 threads. All requests share the loop, so clients bound to a loop (database
pools, HTTP sessions) work across requests.

An `async def` function is also wrapped when it is registered, for the places that
call it from sync code (a sync view's async hooks, the test client before the loop
runs): the wrapper hands the coroutine to the loop and waits for its result without
the interpreter lock.

The loop thread has no request of its own: each coroutine is driven step by step with
its request set in the thread-local slot, so `request`, `g` and `session` work inside
async code and between awaits of other requests.

uvloop, when installed (`pip install kiv[uvloop]`), is the loop; KIV_EVENT_LOOP=asyncio
chooses the standard one.
"""

from __future__ import annotations

import contextvars
import functools
import os
import sys
import threading
from collections.abc import Coroutine as _CoroutineABC
from types import FunctionType
from typing import Any, Callable, Coroutine

import _kiv

from .globals import _local


class _LoopThread:
    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._loop: Any = None
        self._pid = 0

    def loop(self) -> Any:
        loop = self._loop
        if loop is not None and self._pid == os.getpid():
            return loop
        with self._lock:
            # A forked worker inherits the object but not the thread: start its own.
            if self._loop is None or self._pid != os.getpid():
                self._loop = self._start()
                self._pid = os.getpid()
            return self._loop

    @staticmethod
    def _start() -> Any:
        import asyncio
        loop = _new_loop()
        ready = threading.Event()

        def run() -> None:
            global _running, _enter_task, _leave_task
            asyncio.set_event_loop(loop)
            _running = loop
            _enter_task, _leave_task = asyncio.tasks._enter_task, asyncio.tasks._leave_task
            attach = getattr(_kiv, "loop_attach", None)
            if attach is not None:  # requests of async views come straight here
                loop.add_reader(attach(loop.call_soon), _kiv.loop_run)
            loop.call_soon(ready.set)
            loop.run_forever()

        threading.Thread(target=run, name="kiv-asyncio", daemon=True).start()
        ready.wait()
        return loop


def _new_loop() -> Any:
    choice = os.environ.get("KIV_EVENT_LOOP", "")
    if choice != "asyncio":
        try:
            import uvloop
        except ImportError:
            if choice == "uvloop":
                raise
        else:
            return uvloop.new_event_loop()
    import asyncio
    return asyncio.new_event_loop()


_loop_thread = _LoopThread()
_running: Any = None  # the loop, once its thread runs
_enter_task: Any = None  # asyncio's, once the loop runs (apps without async never import it)
_leave_task: Any = None


def event_loop() -> Any:
    """The process's loop that async views run on (started on first use)."""
    return _loop_thread.loop()


class _WithRequest:
    """Drives a coroutine with `req` in the thread-local slot during each of its steps."""

    __slots__ = ("coro", "req")

    def __init__(self, coro: Coroutine, req: Any):
        self.coro, self.req = coro, req

    def __await__(self) -> Any:
        coro, req = self.coro, self.req
        send, error = None, None
        while True:
            _local.request = req
            try:
                yielded = coro.send(send) if error is None else coro.throw(error)
            except StopIteration as stop:
                return stop.value
            finally:
                _local.request = None
            try:
                send, error = (yield yielded), None
            except BaseException as e:  # noqa: BLE001  (cancellation goes into the coroutine)
                send, error = None, e


async def _drive(coro: Coroutine, req: Any) -> Any:
    return await _WithRequest(coro, req)


async def stream_async_body(body: Any, stream: Any) -> None:
    """Writes an async iterable's items into a loop stream (done.stream): each waits
    while the connection still holds the one before, so a slow client slows the
    producer. A float is a pause, as in sync bodies. Stops when the client is gone; a
    failure prints its traceback and cuts the body. Never raises."""
    from .datastructures import chunk_bytes
    loop = _running
    try:
        async for item in body:
            if item.__class__ is float:
                await sys.modules["asyncio"].sleep(item)  # imported: its loop runs this
                continue
            data = chunk_bytes(item)
            if stream.closed:
                break
            if data:
                taken = loop.create_future()
                if stream.put(data, True, taken.set_result):
                    await taken
        else:
            stream.put(b"", False, None)
    except Exception as e:  # noqa: BLE001  (the client sees a cut body)
        import traceback
        traceback.print_exception(type(e), e, e.__traceback__)
        stream.fail()
    finally:
        close = getattr(body, "aclose", None)
        if close is not None:
            try:
                await close()
            except Exception as e:  # noqa: BLE001
                import traceback
                traceback.print_exception(type(e), e, e.__traceback__)


def new_task(coro: Coroutine) -> None:
    """Makes coro a task of the loop (called on the loop's thread)."""
    _running.create_task(coro)


class _Host:
    """The task a request's coroutine runs in, given to it before its first step.

    run_now() takes a request's first step at once, on the loop's thread, with this
    host's task as the current task (asyncio.timeout, anyio, aiohttp ask for one) and in
    its context. Most requests end there: the host is then free for the next one, so a
    request that never waits costs no task, no call_soon and no registration. A request
    that waits is handed to the host: its task (parked on a future meanwhile) goes on
    with it where the first step stopped, and ends with it; the next request gets a new
    host. A host whose context the step changed (a context variable left set) is not
    used again, nor one the request kept a reference to or asked to cancel.

    The host is the task's coroutine: each step of the request runs with the request in
    the thread-local slot."""

    __slots__ = ("coro", "req", "first", "parked", "task", "ctx", "base", "retired")

    def __init__(self) -> None:
        self.coro: Any = None
        self.req: Any = None
        self.first: Any = None  # what the request's first step yielded
        self.parked: Any = None  # the future an idle host waits on
        self.retired = False
        self.ctx = contextvars.copy_context()
        self.base = self.ctx.copy()
        self.task = sys.modules["asyncio"].Task(self, loop=_running, context=self.ctx)
        self.task._log_destroy_pending = False  # idle for good when the process ends

    def send(self, value: Any) -> Any:
        coro = self.coro
        if coro is None:
            if self.retired:
                raise StopIteration
            parked = self.parked = _running.create_future()
            parked._asyncio_future_blocking = True
            return parked
        first = self.first
        if first is not _NOTHING:
            self.first = _NOTHING
            return first  # waited for by the task, as the first step would have been
        _local.request = self.req
        try:
            return coro.send(value)
        finally:
            _local.request = None

    def throw(self, typ: Any, val: Any = None, tb: Any = None) -> Any:
        coro = self.coro
        if coro is None:  # cancelled while idle: it ends, and is no longer handed out
            global _free_host
            if _free_host is self:
                _free_host = None
            if val is None:
                val = typ if isinstance(typ, BaseException) else typ()
            raise val
        first = self.first
        if first is not _NOTHING:
            # Cancelled before the task took over the first step's future: that future
            # is cancelled as the task would have done.
            self.first = _NOTHING
            cancel = getattr(first, "cancel", None)
            if cancel is not None:
                cancel()
        _local.request = self.req
        try:
            return coro.throw(typ, val, tb) if val is not None or tb is not None \
                else coro.throw(typ)
        finally:
            _local.request = None

    def close(self) -> None:
        if self.coro is not None:
            self.coro.close()

    def hand_over(self, coro: Coroutine, req: Any, first: Any) -> None:
        """The request waits: the task goes on with it."""
        self.coro, self.req, self.first = coro, req, first
        parked = self.parked
        if parked is not None and not parked.done():
            parked.set_result(None)

    def retire(self) -> None:
        self.retired = True
        parked = self.parked
        if parked is not None and not parked.done():
            parked.set_result(None)


_CoroutineABC.register(_Host)  # what a task accepts to run
_NOTHING = object()
_getrefcount = sys.getrefcount
_free_host: _Host | None = None


# How much recent requests waited: a request that waits costs more through a host (made
# for it, then handed over) than in a task of its own, so while most do, they get their
# own task, and one in about a dozen still tries the host to notice a change.
_waiting = 0
_WAITING_HIGH = 8  # above this, tasks of their own
_WAITED = 16  # what a request that waited adds
_WAITING_MOST = 32


def run_now(coro: Coroutine, req: Any) -> None:
    """Runs a request's coroutine on the loop's thread, outside any task: its first step
    at once, the rest (if it waits) in a task of its own. Each step has req in the
    thread-local slot."""
    global _free_host, _waiting
    if _waiting > _WAITING_HIGH:
        _waiting -= 1
        new_task(_drive(coro, req))
        return
    host = _free_host
    if host is None:
        host = _free_host = _Host()
    task = host.task
    try:
        _enter_task(_running, task)
    except RuntimeError:  # called inside a task after all: a task of its own, as before
        new_task(_drive(coro, req))
        return
    _local.request = req
    refs = _getrefcount(task)
    try:
        first = host.ctx.run(coro.send, None)
    except BaseException as e:
        # Used again only if the request left no trace on it: no reference kept (a
        # finished task may be cancelled, or compared, later), no cancellation asked
        # for, no context variable changed.
        if _getrefcount(task) != refs or task.cancelling() or not host.ctx == host.base:
            _free_host = None
            host.retire()
        if _waiting:
            _waiting -= 1
        if e.__class__ is not StopIteration:
            raise
        return
    finally:
        _local.request = None
        _leave_task(_running, task)
    _free_host = None
    _waiting = min(_waiting + _WAITED, _WAITING_MOST)
    host.hand_over(coro, req, first)


if sys.version_info < (3, 11):
    def run_now(coro: Coroutine, req: Any) -> None:  # noqa: F811
        # Before 3.11 a task cannot be given the context its first step ran in: a task
        # of its own per request, started by the loop.
        new_task(_drive(coro, req))

if sys.version_info >= (3, 12):
    def new_task(coro: Coroutine) -> None:  # noqa: F811
        # asyncio is imported by then (the loop runs); apps without async views never
        # import it.
        sys.modules["asyncio"].Task(coro, loop=_running, eager_start=True)


with_request = _WithRequest


def run_coroutine(coro: Coroutine) -> Any:
    """Runs coro on the process's loop and returns its result; waits without the lock."""
    import asyncio
    loop = event_loop()
    if threading.current_thread().name == "kiv-asyncio":
        coro.close()
        raise RuntimeError("a sync wrapper of an async function was called on the event "
                           "loop's own thread; await the function instead")
    return asyncio.run_coroutine_threadsafe(_drive(coro, _local.request), loop).result()


def is_async(f: Any) -> bool:
    if type(f) is FunctionType:  # the usual case, without importing inspect
        return bool(f.__code__.co_flags & _CO_COROUTINE)
    import inspect
    return inspect.iscoroutinefunction(f)


_CO_COROUTINE = 0x80


def ensure_sync(f: Callable[..., Any]) -> Callable[..., Any]:
    """f itself if it is not a coroutine function, else a sync function that runs it."""
    if getattr(f, "_kiv_sync", False) or not is_async(f):
        return f

    @functools.wraps(f)
    def run(*args: Any, **kwargs: Any) -> Any:
        return run_coroutine(f(*args, **kwargs))

    run._kiv_sync = True  # type: ignore[attr-defined]
    run._kiv_async = f  # type: ignore[attr-defined]
    return run


__all__ = ["ensure_sync", "event_loop", "run_coroutine", "run_now"]
