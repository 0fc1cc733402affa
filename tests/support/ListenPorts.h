#pragma once

// Test processes run side by side, and each would hand out transfer listen ports
// from 10000: this moves the process-wide counter to a stretch of its own (from the
// process id), as a server alone on its machine never needs. Call in SetUp.
void SpreadListenPorts();
