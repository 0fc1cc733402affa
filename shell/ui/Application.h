#pragma once

// Runs the window program: start-up, the main window until it closes, shut-down.
// Returns the process exit code. Main thread only.
int RunApplication(int argc, char** argv);
