// Server.run_balancer: starts the TCP balancer and blocks the calling thread
// until a signal handler raises.
#include <Python.h>

#include <chrono>
#include <exception>
#include <new>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "balancer.hpp"
#include "pyapi/args.hpp"
#include "pyapi/server.hpp"
#include "pyref.hpp"

namespace kiv {

namespace {
constexpr auto kStartTimeout = std::chrono::seconds(10);
constexpr auto kSignalPoll = std::chrono::milliseconds(120);
}  // namespace

PyObject* server_run_balancer(ServerObject* self, PyObject* args, PyObject* kwargs) {
  static const char* names[] = {"host", "port", "workers", "idle_timeout", nullptr};
  PyObject *o_host, *o_port, *o_workers, *o_idle = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO|$O:run_balancer", const_cast<char**>(names),
                                   &o_host, &o_port, &o_workers, &o_idle))
    return nullptr;
  Borrow hold(self, false);
  if (!hold) return nullptr;
  std::string host;
  std::uint16_t port;
  std::vector<std::string> workers;
  std::uint64_t idle = 60;
  if (o_idle && !arg_u64(o_idle, "idle_timeout", idle)) return nullptr;
  if (idle < 1 || idle > 1000000000) {
    PyErr_SetString(PyExc_ValueError, "idle_timeout out of range");
    return nullptr;
  }
  if (!arg_str(o_host, "host", host) || !arg_u16(o_port, "port", port) ||
      !arg_str_list(o_workers, "workers", workers))
    return nullptr;
  if (workers.empty()) {
    PyErr_SetString(PyExc_RuntimeError, "run_balancer 需要至少一个 worker 地址");
    return nullptr;
  }

  // Dropping `balancer` on any return stops its accept loop, so one that is
  // still binding after a start-up timeout ends as soon as it is bound.
  std::optional<Balancer> balancer;
  try {
    balancer.emplace(std::move(host), port, std::move(workers), std::chrono::seconds(idle));
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError,
                    (std::string("building the runtime failed: ") + e.what()).c_str());
    return nullptr;
  }

  std::optional<BalancerReport> report;
  {
    ReleaseGil unlocked;
    report = balancer->wait_started(kStartTimeout);
  }
  if (!report) {
    PyErr_SetString(PyExc_RuntimeError, "balancer did not start in time");
    return nullptr;
  }
  if (!report->ok) {
    PyErr_SetString(PyExc_RuntimeError, report->text.c_str());
    return nullptr;
  }

  for (;;) {
    {
      ReleaseGil unlocked;
      // libstdc++ resumes the sleep when a signal interrupts it.
      std::this_thread::sleep_for(kSignalPoll);
    }
    if (PyErr_CheckSignals() != 0) break;
  }
  balancer->stop();
  if (!PyErr_Occurred())
    PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
  return nullptr;
}

}  // namespace kiv
