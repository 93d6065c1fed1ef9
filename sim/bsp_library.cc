// The board support library vx_bsp_api.dll: only the entries of board_entries.cc.
#include "sim/entries.h"

namespace sim {
const char kLibraryName[] = "vx_bsp_api.dll";
}  // namespace sim
