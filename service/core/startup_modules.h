// What the start-up calls in the other modules, in one place and in the
// fixed order of start and stop. Modules that have not landed yet are
// no-ops here.
#pragma once

// The wake socket: a UDP socket on the loop family's loopback address whose
// only purpose is to wake the event thread from its wait.
int wake_socket_open();
int wake_socket_send();
void wake_socket_close();

// Installs a newer shipped web package, if any.
void webpack_install_local_hook();
// Notification and log start-up, then supervision start-up (with the UPS
// link and the device API). Also the second half of "restart".
int modules_start();
// The counterpart of modules_start; the first half of "restart".
void modules_stop();

// The HTTP server on web_port; web_port holds the bound port afterwards.
int http_server_start();
void http_server_stop();
// Resets the per-request folder counter of the HTTP server.
void http_counter_reset();
