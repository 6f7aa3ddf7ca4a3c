// Internal to backproject/: taking up a suspended job. A job the server
// suspended left its partly accumulated slab and the view to go on with in a
// dump file; the slab loop resumes from it.
#pragma once

#include "driver/params.h"

// A suspended job left its partly accumulated (unscaled) slab and the view to
// go on with in "<outDir>suspend-dump.<job>.<node>"; takes both into p.volume,
// *view and *fileNumber and removes the dump, so a later run of this slab
// starts afresh. Leaves everything alone when there is no dump.
void resumeFromDump(ReconParams& p, int* view, int* fileNumber);
