// The process-wide state of the one connection a process serves: the two
// endpoints, the two locks and the flags the worker and the user interface
// share.
#pragma once

#include <atomic>
#include <mutex>

#include "relay/clser_endpoint.h"
#include "relay/com_port_endpoint.h"
#include "relay/echo_sink.h"

namespace clst {

extern ComPortEndpoint g_comPort;
extern ClSerEndpoint g_clSerPort;

// Held by the worker for its whole run; Stop takes it to wait for the worker
// to leave its loop before the ports are closed.
extern std::mutex g_portLock;
// Serialises building and adding byte lines and the COM write error line.
extern std::mutex g_echoLock;

extern std::atomic<bool> g_relayRunning;
extern std::atomic<bool> g_connectionError;
extern std::atomic<bool> g_echoEnabled;

// The echo list the worker adds its lines to (may be null: lines are dropped).
extern std::atomic<EchoSink*> g_echoListBox;

}  // namespace clst
