// Opening a DDE conversation with every server of a service and topic, as a conversation list
// does: one WM_DDE_INITIATE broadcast, every server that acknowledges it is a conversation, and
// each conversation is terminated again at once. Built on the DDE message protocol itself,
// because Wine's DDEML has no working conversation lists (DdeConnectList answers a fixed handle
// and connects nothing).
#pragma once

namespace kv::setupaids {

// The number of servers that accepted a conversation on `service` and `topic`. Call on a thread
// that may pump its own messages for a moment.
int ConnectToEveryServer(const char* service, const char* topic);

}  // namespace kv::setupaids
