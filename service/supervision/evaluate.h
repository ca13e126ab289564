// The alarm evaluation: every 2 s and after each published poll cycle it
// adds the conditions only the service can judge to the published flags,
// carries out the shutdown policy and the scheduled UPS shutdown and
// restart, and raises or clears every alarm.
#pragma once

void alarm_evaluate();

// UPS commands of the supervision (evaluation and discharge test) go out
// here: through ups_command, or to a test that listens (nullptr restores).
void supervision_send(const char* command);
using EvaluateCommandFn = void (*)(const char* command);
void evaluate_set_command_hook(EvaluateCommandFn fn);
