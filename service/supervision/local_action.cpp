#include "service/supervision/local_action.h"

#include "service/core/file_util.h"
#include "service/supervision/alarm.h"

const LocalActionOps local_action_system_ops{sound_play, shutdown_script_start};

namespace {
const LocalActionOps* g_ops = &local_action_system_ops;
BalloonFn g_balloon = nullptr;
}  // namespace

void local_action_set_ops(const LocalActionOps* ops) { g_ops = ops ? ops : &local_action_system_ops; }

void local_action_set_balloon_hook(BalloonFn fn) { g_balloon = fn; }

void local_actions(int alarm, const char* text) {
  if (path_kind(kAlarmSoundFile) != 0 && g_ops->play) g_ops->play(kAlarmSoundFile);
  if (alarm == ALARM_SHUTTING_DOWN && g_ops->shutdown_script) g_ops->shutdown_script();
  if (g_balloon) g_balloon(alarm, text ? text : "");
}
