#pragma once

// Tells the service manager (systemd, when it started us with Type=notify) how the
// server is doing. Without one, every call does nothing. Any thread.
namespace ServiceManager {

// The control port is bound and requests are served.
void Ready();
// The main loop is alive (the watchdog's ping).
void Alive();
// Shutting down.
void Stopping();

} // namespace ServiceManager
