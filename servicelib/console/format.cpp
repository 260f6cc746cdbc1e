// Placeholder until the format engine lands.
#include "../servicelib.h"

extern "C" UINT32 EFIAPI FormatOutput (IN FORMAT_OUTPUT_ROUTINE OutputRoutine, IN UINT32 MaxCount, IN BOOLEAN Wide,
                                       IN CONST VOID *Format, IN VA_LIST Args)
{
  (void)OutputRoutine; (void)MaxCount; (void)Wide; (void)Format; (void)Args;
  return 0;
}
