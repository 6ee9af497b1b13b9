// Requests of coroutine views run on the process's Python event loop, and no
// pool thread waits for them.
//
// The loop thread (started by the framework) attaches once: it gets an
// eventfd to watch and calls loop_run() when it is readable. Network threads
// queue work for the loop and signal the eventfd once per burst; loop_run()
// builds each request object, hands it to the framework's loop pipeline with
// a completion handle, and returns. Whenever a coroutine finishes, its handle
// converts the result as for any view and the response goes back to its
// connection, several of them in one post when they finish together.
#pragma once

#include <Python.h>

#include <asio.hpp>

#include "http/response.hpp"
#include "py/dispatch.hpp"

namespace kiv {

// Whether an event loop is attached in this process and the calling thread is
// not that loop's own (which must never wait for itself).
bool loop_ready();

// Whether the job's route is a coroutine view's and a loop is ready for it.
bool runs_on_loop(const DispatchJob& job);

// Runs the job's Python on the event loop (the caller checked runs_on_loop()).
// Never fails: every Python failure ends in a response.
asio::awaitable<ResponseOut> dispatch_on_loop(DispatchJob job);

// A request under an ASGI mount: the host builds the scope and runs the
// application on the loop. Never fails (no loop attached: 503).
asio::awaitable<ResponseOut> dispatch_asgi(Req req, std::string path, const WsgiMount* mount,
                                           SharedPtr shared);

// Work for the event loop's thread, run there with the interpreter lock.
struct LoopTask {
  virtual ~LoopTask() = default;
  virtual void run() = 0;
};

// Any thread: runs the task on the loop (once one is attached).
void post_to_loop(std::unique_ptr<LoopTask> task);

// The module-level functions of the loop bridge (null-terminated table).
PyMethodDef* loop_functions();

}  // namespace kiv
