// UPS commands: the service command texts, the gate that accepts them while
// data are ready, the queue that hands their frames to the link between
// query steps, and the answer file of raw frames.
#pragma once
#include <cstdint>
#include <span>

constexpr const char* kCommandAnswerFile = "tmp/cmd_answer";
constexpr int kCommandTextMax = 127;
// Beyond this many waiting frames new commands are refused: a client that
// floods the API must not grow the queue without end.
constexpr int kCommandQueueMax = 32;

struct CommandEntry {
  char frame[128];
  int length;
  int want_reply;
  CommandEntry* next;
};

// The shutdown and restart schedule that the supervision carries out (svc_seconds
// times, 0 = none). The device API's "down" and "start" items set it here.
struct UpsSchedule {
  int64_t restart_time;
  int64_t shutdown_time;
  int shutdown_kind;
};
extern UpsSchedule ups_schedule;

// The gate: result text into output ("true", "false", "queued",
// "cmd fail", "no format function"); its length.
int ups_command(const char* text, std::span<char> output);
// The same result as a JSON value.
int ups_command_json(const char* text, std::span<char> output);
// One "cmd" item of the device API; 0 for an item it does not know.
int api_command(const char* item, std::span<char> output, int allowed);

// The queue, for the link loop.
CommandEntry* command_queue_head();
int command_queue_count();
void command_queue_clear();
// End of a command transaction.
void command_transaction_end(bool failed);
// A complete reply of a raw frame: its first length bytes become the answer.
void command_store_answer(const uint8_t* data, int length);
