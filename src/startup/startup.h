// Process entry, command line and the main sequence.
#pragma once
#include <windows.h>

int parse_command_line(const char* arguments, char* archive_path);
int main_sequence(char* archive_path);
int wow64_control(int32_t request);  // -1 query, 0 redirection off, 1 on
