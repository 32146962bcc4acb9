// The close request: SIGTERM, SIGINT and SIGHUP stand in for the platform's request to close the
// main window at log-off or shutdown. Once a close request has arrived it stays pending for the
// rest of the process's life.
#ifndef PLOTSPOOL_PLATFORM_CLOSE_REQUEST_H_
#define PLOTSPOOL_PLATFORM_CLOSE_REQUEST_H_

#include <chrono>

namespace plotspool::platform {

// Routes the three signals into the close request and ignores SIGPIPE. Call once at start-up,
// before any other thread or child exists. Without it no close request ever arrives.
void InstallCloseRequestSignals();

// True once a close request has arrived. Never blocks.
bool CloseRequestPending();

// Blocks until a close request arrives or `timeout` has passed; true when one has arrived.
bool WaitForCloseRequest(std::chrono::milliseconds timeout);

// A descriptor that polls readable while a close request is pending, so that waits on other
// events (a child's end) can wait on the close request too. -1 before installation.
int CloseRequestFd();

// Makes a close request pending from inside the process (tests, and stop paths that want the
// same unwinding as a signal).
void RaiseCloseRequest();

}  // namespace plotspool::platform

#endif  // PLOTSPOOL_PLATFORM_CLOSE_REQUEST_H_
