// The service control manager hands no sockets over: the relay always opens its own ports.
#include "service/inherited_sockets.h"

InheritedSockets TakeInheritedSockets() {
  return {};
}
