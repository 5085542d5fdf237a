// What the module qiv_protocol holds besides `__version__`: its classes, in registration
// order, and its one module function.
//
// Each class lives in its own file, which defines `const py::ClassDef& <Class>Class();`
// (machinery/class_def.h). Adding a class means adding that file and uncommenting its line
// below; the order of the lines is the order of registration and of `__all__`.
#ifndef QIV_BINDING_MODULE_MEMBERS_H_
#define QIV_BINDING_MODULE_MEMBERS_H_

#include <Python.h>

#include "machinery/class_def.h"

// X(<Class>) for each class, in registration order.
#define QIV_PROTOCOL_CLASSES(X) \
  X(ProtocolAddress) \
  X(CounterpartyInfo) \
  X(SignedEnvelope) \
  X(AttestationChain) \
  X(PeerIdentityDescriptor) \
  X(SoftwareIdentity) \
  X(AnchorReceipt) \
  X(AnchorProof) \
  X(MockAnchor) \
  X(EnvelopeQueue) \
  X(QueuedItem)

namespace qiv::py {

#define QIV_DECLARE_CLASS(Name) const ClassDef& Name##Class();
QIV_PROTOCOL_CLASSES(QIV_DECLARE_CLASS)
#undef QIV_DECLARE_CLASS

// The method-table entry of `classify_exchange`, bound to the module by the initialiser.
PyMethodDef* ClassifyExchangeMethod();

}  // namespace qiv::py

#endif  // QIV_BINDING_MODULE_MEMBERS_H_
