#pragma once

// The server without a window: reads ./QorConfig.xml, starts as the window's Start
// does, runs the registry's timer, and on SIGINT or SIGTERM stops as Stop does.
// Returns the exit code: 0 after a signal, 1 when the control port cannot be bound.
// Main thread, before any other thread exists.
int RunHeadlessServer();
