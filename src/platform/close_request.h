// The close request: the system's request to end the service at log-off, shutdown or a stop
// (SIGTERM, SIGINT and SIGHUP here). Once a close request has arrived it stays pending for the
// rest of the process's life.
#ifndef PLOTSPOOL_PLATFORM_CLOSE_REQUEST_H_
#define PLOTSPOOL_PLATFORM_CLOSE_REQUEST_H_

#include <chrono>

namespace plotspool::platform {

// Routes the system's stop requests into the close request (and keeps a peer that went away
// from ending the process). Call once at start-up, before any other thread or child exists.
// Without it no close request ever arrives.
void InstallCloseRequestSignals();

// True once a close request has arrived. Never blocks.
bool CloseRequestPending();

// Blocks until a close request arrives or `timeout` has passed; true when one has arrived.
bool WaitForCloseRequest(std::chrono::milliseconds timeout);

// Makes a close request pending from inside the process (tests, and stop paths that want the
// same unwinding as a signal).
void RaiseCloseRequest();

}  // namespace plotspool::platform

#endif  // PLOTSPOOL_PLATFORM_CLOSE_REQUEST_H_
