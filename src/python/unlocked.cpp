#include "python/unlocked.h"

namespace quorvel::py {

void reacquire(PyThreadState* state) {
  try {
    PyEval_RestoreThread(state);
  } catch (const abi::__forced_unwind&) {
    detail::lock_lost = true;
    throw;
  }
}

StopCheck signal_check_locked() {
  return StopCheck([] { return PyErr_CheckSignals() < 0; });
}

StopCheck signal_check_unlocked(PyThreadState** state) {
  return StopCheck([state] {
    reacquire(*state);
    const bool raised = PyErr_CheckSignals() < 0;
    *state = PyEval_SaveThread();
    return raised;
  });
}

}  // namespace quorvel::py
