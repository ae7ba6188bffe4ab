#pragma once

// The store counts reads and writes per process, so that a fault line can name "the third
// read". In-process tests start each case afresh with this.
void ResetStoreCallCounts();
