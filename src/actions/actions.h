// Destination keywords, the setup launcher and the clean-up.
#pragma once
#include <windows.h>

#include "package/package.h"

int resolve_destination(char* output, const PackageHeader* header, const char* archive_path);
int read_shell_folder_path(HKEY root, const char* subkey, char* output, const char* value);

// Runs the setup; false when it could not be started. `exit_code` gets the
// setup's own exit code when the launcher waited for it, else 0.
bool launch_setup(const char* setup_file, const char* destination, int delete_after_setup,
                  DWORD* exit_code);
// True when `path` lies inside `folder` (a path, any case, with or without
// its final backslash): the folder itself or below it, never a sibling
// whose name merely begins the same way.
bool path_is_inside(const char* path, const char* folder);
int find_system_program(const char* name, char* output);
int is_protected_program(const char* name);
HWND find_installer_window(char* class_name, char* title);

// Deletes the listed files and the folders this run created below the
// destination; removes the destination too while it is the run's private
// temporary folder. Runs after the setup, and after a failed or cancelled
// extraction into the private temporary folder.
void clean_up_extracted_files();
// Removes the recorded folders at or below `root` (a folder path with its
// final backslash), deepest first, each only when empty; returns how many went.
int remove_created_folders(const char* root);
