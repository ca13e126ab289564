// Alarm mail through the relay server. The alarm lines the supervision
// collects in the mail text are composed into one mail request per
// receiver every few seconds; each request is a file of the on-disk queue
// "tmp/post_out", and an uploader sends the queued files one at a time as
// HTTP POSTs to the relay server, which does the SMTP. A failed request to
// a named relay host gets one more attempt after at least 6 s.
// Event thread only.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

#include "service/net/fmessage.h"

constexpr const char* kPostQueue = "tmp/post_out";
constexpr const char* kPostUrlFile = "tmp/post_out_url";
constexpr const char* kPostBodyFile = "tmp/post_out_f";
constexpr const char* kPostAckFile = "tmp/post_out_fack";
constexpr const char* kNoWanMarker = "/tmp/nowan";

constexpr int kRelayCapacity = 128;  // with the terminator, as all below
constexpr int kSigningCapacity = 128;
constexpr int kSubjectCapacity = 128;
constexpr int kReceiverCapacity = 512;
// Addresses plus their terminators stay within this many bytes.
constexpr int kReceiverBudget = 509;
constexpr int kPostMax = 2040;       // one request
constexpr int kPostQueueMax = 4096;  // the whole queue
constexpr int kPostReadMax = 2048;   // what is read of an entry
constexpr int kNoWanHostMax = 96;
constexpr uint32_t kPostRetryMs = 6000;
constexpr uint32_t kNotifyFlushMs = 10000;
constexpr uint32_t kUploadTickMs = 1000;
constexpr uint32_t kUploadIdleMs = 30000;
constexpr int kUploadPiece = 1020;

constexpr uint32_t kQueueTimer = XF_TIMER + 10;  // 6 s tick, and kicks
constexpr uint32_t kNotifyTimer = XF_TIMER + 20;
constexpr uint32_t kUploadTimer = XF_TIMER + 10;
constexpr uint32_t kUploadSocket = XF_SOCKET + 10;

struct NotifySettings {
  char relay[kRelayCapacity];
  char signing[kSigningCapacity];
  char subject[kSubjectCapacity];  // loaded when first needed
  // Receivers one after the other, each ended by a 0 byte, the list by an
  // empty address. Loaded when first needed.
  char receivers[kReceiverCapacity];
  bool test_mail;
};
extern NotifySettings notify_settings;

// Service start and "restart": the queue and its handler, the device table,
// the settings, the clock start offset and the log start (in that order),
// then the 10 s flush. Must run before the supervision start-up. 0 or -1.
int notify_start();
// Module stop: both handlers, an upload in flight (its entry stays queued),
// then the device table and the record logs; so it belongs after the UPS
// link has stopped.
void notify_stop();

// Clears every setting and reads the relay address, the signing text, the
// mail language and the time offset; empties the mail text.
void notify_load_settings();
// Composes and queues the mails for the collected mail text (or the test
// mail), then empties the mail text.
void notify_flush();
// The "send_email_test" service command: the next flush (within 10 s)
// sends the test text to every receiver.
void notify_request_test_mail();

// Stores one request (the relay address line, then the mail) in the queue.
// 0 queued, -1 dropped (too long, queue full, no wide-area network for a
// named host, or the file could not be written).
int post_enqueue(std::string_view text);

// Pieces of the flush, exposed for tests.
// A receiver is used only when it is a plausible address: an "@" after its
// first character, and no blanks or control characters that would break
// the mail head.
bool notify_receiver_ok(std::string_view receiver);
// The receiver list of a "receiver" value split at ";" (within the budget).
std::string notify_receivers_from(std::string_view value);
// The account line's text ["host",port,"sender","password"], quotes and
// backslashes escaped.
std::string notify_smtp_text(std::string_view host, int port, std::string_view sender, std::string_view password);
// The request file text for one receiver.
std::string notify_compose(std::string_view receiver, std::string_view subject, std::string_view smtp,
                           std::string_view text);

// Replaces the "no wide-area network" marker (nullptr restores it).
void notify_override_nowan(const char* path);
// Entries in flight: the path, "" when the queue is idle.
const char* post_in_flight();

// The uploader: one request at a time, to an "http://" address, with the
// body from "tmp/post_out_f" and the answer into "tmp/post_out_fack".
// done receives 0 for an answer with status 200, negative otherwise.
using UploadDone = void (*)(int result);
// 0 started, -1 refused (not "http://", bad port or host, already busy).
int upload_start(const char* address, UploadDone done);
// Drops a running upload without calling its completion.
void upload_abort();
bool upload_busy();
