// What the script commands need from the operating system beyond the file
// utilities. One implementation per system.
#pragma once
#include <cstdint>

// Runs a command line through the system's command interpreter (/bin/sh on
// Linux, the command interpreter on Windows) and waits for it. Its exit
// status, or -1 when it could not be started.
int script_os_system(const char* command_line);

// Last write time of a file or folder in seconds since 1970-01-01 UTC; -1
// when the path does not exist, -2 when it exists but its time cannot be
// read.
int64_t script_os_mtime(const char* path);
