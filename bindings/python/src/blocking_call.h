// Running a task to its end on the process-wide runtime, for the blocking Python methods.
//
//   auto receipt = BlockOnBindingRuntime(SubmitTask(anchor, root));
//
// Obtains the runtime (building it on first use; a failed build is a fault of the calling
// method) and drives the task on the calling thread, which keeps the interpreter lock. A
// method makes its own argument checks before calling this, so a refused call never builds
// the runtime.
#ifndef QIV_BINDING_BLOCKING_CALL_H_
#define QIV_BINDING_BLOCKING_CALL_H_

#include <utility>

#include "qiv/runtime/runtime.h"
#include "qiv/runtime/task.h"

namespace qiv::py {

template <typename T>
T BlockOnBindingRuntime(runtime::Task<T> task) {
  return runtime::BindingRuntime().BlockOn(std::move(task));
}

}  // namespace qiv::py

#endif  // QIV_BINDING_BLOCKING_CALL_H_
