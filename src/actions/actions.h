// Destination keywords, the setup launcher and the clean-up.
#pragma once
#include <windows.h>

#include "package/package.h"

int resolve_destination(char* output, const PackageHeader* header, const char* archive_path);
int read_shell_folder_path(HKEY root, const char* subkey, char* output, const char* value);

void launch_setup(const char* setup_file, const char* destination, int delete_after_setup);
int find_system_program(const char* name, char* output);
int is_protected_program(const char* name);
HWND find_installer_window(char* class_name, char* title);

void clean_up_extracted_files();
int remove_folder_tree(const char* path, const char* protected_root);
