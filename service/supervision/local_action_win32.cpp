// Windows: the sound through the multimedia player of the system, the
// shutdown script through the script host or the command interpreter.
#include <windows.h>
#include <mmsystem.h>

#include "service/core/file_util.h"
#include "service/core/win32_text.h"
#include "service/supervision/local_action.h"

void sound_set_search_path(const char*) {}

std::string sound_player() { return "winmm"; }

void sound_play(const char* path) {
  if (!path) return;
  // Asynchronous and without the default beep when the file is no sound; a
  // sound still playing is replaced.
  std::wstring file = path_to_wide(path);
  PlaySoundW(file.c_str(), nullptr, SND_FILENAME | SND_ASYNC | SND_NODEFAULT);
}

void sound_stop() { PlaySoundW(nullptr, nullptr, 0); }

bool shutdown_script_start() {
  if (path_kind("alarm/shutdown.vbs") == 2) return start_program("wscript.exe alarm\\shutdown.vbs");
  if (path_kind("alarm/shutdown.bat") == 2) return start_program("cmd.exe /c alarm\\shutdown.bat");
  return false;
}
