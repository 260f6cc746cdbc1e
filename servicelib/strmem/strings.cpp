// Placeholder until string copy and compare land.
#include "../servicelib.h"

extern "C" VOID *EFIAPI StringCopy (OUT VOID *Dest, IN CONST VOID *Source, IN UINTN Count, IN BOOLEAN StopAtNul,
                                    IN BOOLEAN Wide)
{
  (void)Source; (void)Count; (void)StopAtNul; (void)Wide;
  return Dest;
}

extern "C" INT32 EFIAPI StringCompare (IN CONST VOID *S1, IN CONST VOID *S2, IN UINTN Count, IN INT8 FoldMask,
                                       IN BOOLEAN StopAtNul, IN BOOLEAN Wide)
{
  (void)S1; (void)S2; (void)Count; (void)FoldMask; (void)StopAtNul; (void)Wide;
  return 0;
}
