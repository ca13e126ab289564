// Local actions of a notified alarm: the alarm sound, the computer shutdown
// script for "Shutting down", and the tray balloon. The sound and the
// script are the system's (one file per system); tests replace them.
#pragma once
#include <string>

constexpr const char* kAlarmSoundFile = "alarm/message.wav";

// Runs the actions for a raised alarm with its text in the user's language.
void local_actions(int alarm, const char* text);

struct LocalActionOps {
  // Plays the sound file without waiting; a sound still playing stops.
  void (*play)(const char* path);
  // Starts the installed computer shutdown script hidden and detached;
  // false when there is none or it could not be started.
  bool (*shutdown_script)();
};
extern const LocalActionOps local_action_system_ops;
// nullptr restores the system's.
void local_action_set_ops(const LocalActionOps* ops);

// The tray shows the balloon (installed by the tray window).
using BalloonFn = void (*)(int alarm, const char* text);
void local_action_set_balloon_hook(BalloonFn fn);

// The system's implementations.
void sound_play(const char* path);
// Stops a playing sound (module stop).
void sound_stop();
bool shutdown_script_start();
// Linux: the folders searched for a sound player instead of PATH (tests);
// nullptr restores PATH.
void sound_set_search_path(const char* folders);
// What plays the sound: the player program found (Linux, "" when there is
// none, and then the sound is skipped), or "winmm" (Windows).
std::string sound_player();
