// Waiting for a mutex of our own while another thread may need the interpreter lock to finish
// what that mutex guards (a first import, a first lookup of the host's datetime).
//
//   std::unique_lock<std::mutex> hold(mu, std::defer_lock);
//   LockWithoutInterpreterLock(hold);   // the interpreter lock is held again on return
//
// Requires the interpreter lock; the calling thread holds it again on return.
#ifndef QIV_BINDING_MACHINERY_INTERPRETER_LOCK_H_
#define QIV_BINDING_MACHINERY_INTERPRETER_LOCK_H_

#include <Python.h>

#include <mutex>

namespace qiv::py {

// Takes `lock` with the interpreter lock given up while waiting, so that the thread holding
// the mutex can run Python code and finish. Plain calls, not a scope guard: the interpreter
// may end this thread (a daemon thread at exit) inside PyEval_RestoreThread, and that unwind
// must not pass through a destructor, which cannot throw; `lock` lets the mutex go on its way
// out.
inline void LockWithoutInterpreterLock(std::unique_lock<std::mutex>& lock) {
  PyThreadState* saved = PyEval_SaveThread();
  lock.lock();
  PyEval_RestoreThread(saved);
}

}  // namespace qiv::py

#endif  // QIV_BINDING_MACHINERY_INTERPRETER_LOCK_H_
