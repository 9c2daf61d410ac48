#pragma once
// Who one add-in module is: its row of the product's add-in table (the Office
// application that loads it, the ProgID under which Office lists it and which
// the hook's upkeep looks for, its class id). One module is built per row,
// chosen by QUORIX_ADDIN_INDEX.

#include "common/OfficeAddins.h"

#if QUORIX_ADDIN_INDEX < 1 || QUORIX_ADDIN_INDEX > 3
#error QUORIX_ADDIN_INDEX must be 1, 2 or 3
#endif

inline constexpr const vm::COfficeAddin& c_addin = vm::c_officeAddins[QUORIX_ADDIN_INDEX - 1];
