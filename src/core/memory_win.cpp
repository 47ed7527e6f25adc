#include <malloc.h>

#include "core/Memory.h"

namespace kestrill {

void ReturnFreedMemory() { _heapmin(); }

}  // namespace kestrill
