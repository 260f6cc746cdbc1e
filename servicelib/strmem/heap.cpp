// Placeholder until the block heap lands.
#include "../servicelib.h"

extern "C" VOID *EFIAPI HeapAllocFree (IN VOID *Block, IN UINTN Size)
{
  (void)Block; (void)Size;
  return nullptr;
}
