#include "FreedMemory.h"

#include <cstdlib> // says whether the C library is glibc

#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace FreedMemory {

void returnToSystem()
{
#ifdef __GLIBC__
    malloc_trim(0);
#endif
}

} // namespace FreedMemory
