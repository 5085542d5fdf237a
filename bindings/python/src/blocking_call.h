// RunBlocking: how a Python method runs an asynchronous operation to its end.
//
// The blocking methods of the module (queue push/list/drop, anchor submit/verify) convert and
// check their arguments first (the entry shim and the implementation's own checks), then call
// RunBlocking with a function that makes the operation's task:
//
//   PyResult<void> Push(const envelope::EnvelopeQueue& self, std::string_view pair_class,
//                       const envelope::SignedEnvelope& envelope) {
//     auto pushed = RunBlocking([&] { return self.Push(pair_class, envelope); });
//     if (!pushed.ok()) return Err(QueueErrorToException(pushed.error()));
//     return {};
//   }
//
// RunBlocking obtains the process-wide runtime, building it on first use (a build failure, or
// an invalid TOKIO_WORKER_THREADS, is a qiv::Fault that the entry shim raises as the fault
// exception; the next call tries the build again), makes the task and drives it with BlockOn
// on the calling thread. So a call refused by its argument checks never builds the runtime.
//
// The interpreter lock stays held for the whole call, sleeps included: pool threads never need
// it, and releasing it would let other Python threads run into objects that the task borrows.
// The task may borrow the receiver's value and the converted arguments, since it ends before
// RunBlocking returns.
#ifndef QIV_BINDING_BLOCKING_CALL_H_
#define QIV_BINDING_BLOCKING_CALL_H_

#include <type_traits>
#include <utility>

#include "qiv/runtime/runtime.h"
#include "qiv/runtime/task.h"

namespace qiv::py {

template <typename T>
struct IsTask : std::false_type {};
template <typename T>
struct IsTask<runtime::Task<T>> : std::true_type {};

// make_task() -> runtime::Task<T>; returns the task's T.
template <typename MakeTask>
  requires IsTask<std::invoke_result_t<MakeTask&>>::value
auto RunBlocking(MakeTask&& make_task) {
  runtime::Runtime& rt = runtime::BindingRuntime();
  return rt.BlockOn(std::forward<MakeTask>(make_task)());
}

}  // namespace qiv::py

#endif  // QIV_BINDING_BLOCKING_CALL_H_
