// Running core work without the interpreter lock, and stopping it on Ctrl-C.
//
// `run_unlocked` releases the lock around a piece of work that touches no
// Python object, so that other Python threads go on meanwhile, and takes it
// back on every way out but one: when the interpreter is shutting down, it
// may end a thread that asks for the lock back (a daemon thread still inside
// a call) by unwinding it. That unwind is let through untouched; the thread
// is marked (interpreter_lock_lost()) so that nothing on its way out touches
// Python, and the lock is never asked for from a destructor, where such an
// unwind would end the process.
//
// The StopChecks made here look for a pending signal (PyErr_CheckSignals):
// when its handler raises, as Ctrl-C's does with KeyboardInterrupt, the work
// stops with interrupted() and the exception is left pending for the call to
// return.
//
// Thread safety: every function requires the interpreter lock on entry, and
// the checks run on the thread that made them.

#ifndef QUORVEL_PYTHON_UNLOCKED_H_
#define QUORVEL_PYTHON_UNLOCKED_H_

#include <Python.h>
#include <cxxabi.h>

#include <exception>

#include "base/interrupt.h"
#include "python/ref.h"

namespace quorvel::py {

// Takes the interpreter lock back for the thread `state` (what
// PyEval_SaveThread gave), marking the thread when the interpreter ends it
// instead.
void reacquire(PyThreadState* state);

// A check that runs the signal handlers with the lock held, for work that
// keeps the lock.
StopCheck signal_check_locked();

// A check for work that runs without the lock: it takes the lock back for
// the handlers and releases it again. `state` is where run_unlocked keeps
// the released thread state.
StopCheck signal_check_unlocked(PyThreadState** state);

// Runs `work()` without the interpreter lock and returns what it returns.
// `*state` holds the released thread state meanwhile (for
// signal_check_unlocked). A C++ exception from `work` passes on with the
// lock taken back.
template <typename Work>
auto run_unlocked(PyThreadState** state, Work&& work) -> decltype(work()) {
  *state = PyEval_SaveThread();
  try {
    auto result = work();
    reacquire(*state);
    return result;
  } catch (const abi::__forced_unwind&) {
    // Only the check's own reacquire can end the thread, and it has marked
    // it; the unwind goes on without the lock.
    throw;
  } catch (...) {
    reacquire(*state);
    throw;
  }
}

}  // namespace quorvel::py

#endif  // QUORVEL_PYTHON_UNLOCKED_H_
