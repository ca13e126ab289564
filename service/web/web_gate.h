// The request gate. The server listens on all interfaces and its script
// pages can start programs and write any file, so it only serves:
// - peers on loopback, and other peers only when remote access is switched
//   on ("remote_access" = 1 in "[master]" of "user/config.inf") and they send
//   HTTP Basic credentials with user 1's password;
// - requests whose Host names this machine (defeats DNS rebinding);
// - for script pages and files outside the web folder, requests that are
//   not cross-site (a foreign web page in the user's browser must not post
//   scripts to us).
// Refused requests get a short 401 or 403 answer; nothing else runs.
#pragma once
#include <span>
#include <string_view>

#include "service/net/socket.h"

// Answer status of a gate check: 0 to serve, else 401 or 403.
constexpr int kGateServe = 0;
constexpr int kGateUnauthorized = 401;
constexpr int kGateForbidden = 403;

// 127.0.0.0/8, ::1 and IPv4-mapped 127.0.0.0/8.
bool ip_is_loopback(const IpAddress& addr);

// The peer and Host checks of a complete request (head plus body) from
// peer, served on port.
int gate_check_request(std::string_view request, const SockAddr& peer, int port);
// Whether the request last passed to gate_check_request came from a peer
// that does not count as local. The HTTP server processes each request on
// the event thread right after its check, so while a request is being
// processed (web_request_text() not empty) this names that request's peer.
bool gate_last_request_remote();
// The cross-site checks (Origin, Sec-Fetch-Site) for a script page or a
// file outside the web folder.
int gate_check_same_origin(std::string_view request, int port);

// Whether the Host value (with or without port) names this machine.
bool gate_host_allowed(std::string_view host);

// Value of the first head line "name:" (name compared without regard to
// case), spaces and tabs skipped, up to the line end; only the head of the
// request (up to the first empty line) is searched. Its length, -1 when
// absent, -2 when longer than out (out is "" for both).
int gate_header(std::string_view request, std::string_view name, std::span<char> out);

// Equal in time independent of where they differ (both at most 63 bytes;
// longer texts never match).
bool password_equal(std::string_view a, std::string_view b);

// Decodes standard Base64 (padding optional, no white space); its length,
// -1 on a bad character or when out is too small.
int base64_decode(std::string_view text, std::span<char> out);

// Test seam: decides which peers count as local (loopback); nullptr
// restores ip_is_loopback on the peer address.
void gate_set_peer_classifier(bool (*is_local)(const SockAddr& peer));
