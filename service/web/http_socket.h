// TCP options of the HTTP layer that the socket layer does not offer.
#pragma once
#include "service/net/socket.h"

// Sends small segments at once instead of holding them for the peer's
// acknowledgement. 0 or -1.
int tcp_set_nodelay(sock_t s);
// Ends the sending direction (the peer reads end of stream) while still
// receiving. 0 or -1.
int tcp_shutdown_send(sock_t s);
