#include <cstdlib>  // first: it says whether this is the GNU C library

#include "core/Memory.h"

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace kestrill {

void ReturnFreedMemory() {
#if defined(__GLIBC__)
  malloc_trim(0);  // every arena, and the free pages inside them, not only the heap's top
#endif
}

}  // namespace kestrill
