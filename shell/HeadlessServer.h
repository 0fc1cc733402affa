#pragma once

// zeldownloadd. Without arguments, the server without a window: reads ./QorConfig.xml
// (creating it with every key when it is missing), starts as the window's Start
// does, runs the registry's timer, and on SIGINT or SIGTERM stops as Stop does;
// returns 0 after a signal, 1 when the control port cannot be bound.
// --help and --version print and return 0, touching no file; --check-config prints
// the settings a start would run with and what is wrong with them, creating nothing,
// and returns 1 on an error; anything else prints the usage to standard error and
// returns 2. Main thread, before any other thread exists.
int RunHeadlessServer(int argc, char** argv);

// The text --help prints. Any thread.
const char* HeadlessUsage();
