// pingsweep-cli --inventory: every device the watch knows, in the three
// output formats.
#pragma once

#include "cli/sweep/stages.h"
#include "watch/inventory_store.h"

namespace ps::cli {

// Prints the stored inventory, sorted by device; the exit code.
int PrintInventory(const RunContext& run, const watch::InventoryStore& store);

}  // namespace ps::cli
