// clang-format off
#include <windows.h>
#include <shellapi.h>
// clang-format on
#include <fcntl.h>
#include <io.h>
#include <stdio.h>

#include <cstring>

#include "actions/actions.h"
#include "extract/extract.h"
#include "startup/globals.h"
#include "startup/paths.h"
#include "startup/startup.h"
#include "ui/ui.h"

namespace {

constexpr size_t BASE_FOLDER = 256;  // base folder and archive name buffers

// Cuts the name at its last '.', walking by characters so that a trail byte is
// never taken for one.
void cut_extension(char* name) {
  char* dot = nullptr;
  for (char* c = name; *c;) {
    if (*c == '.') dot = c;
    c += (IsDBCSLeadByte(static_cast<BYTE>(*c)) && c[1]) ? 2 : 1;
  }
  if (dot) *dot = 0;
}

void terminate_header_texts(PackageHeader* header) {
  header->destination[sizeof header->destination - 1] = 0;
  header->setup_file[sizeof header->setup_file - 1] = 0;
  header->prompt_title[sizeof header->prompt_title - 1] = 0;
  header->prompt_text[sizeof header->prompt_text - 1] = 0;
}

// Dispatches what is queued without waiting; false once WM_QUIT came.
bool pump_pending_messages() {
  MSG message;
  while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
    if (message.message == WM_QUIT) return false;
    if (!IsDialogMessageA(progress_window, &message)) {
      TranslateMessage(&message);
      DispatchMessageA(&message);
    }
  }
  return true;
}

// Serves the progress window until it posts WM_QUIT. The loop also ends when
// the worker has ended, so a progress window that could not be created cannot
// leave it waiting for ever; what the worker sent last is dispatched first.
void run_message_loop(HANDLE worker) {
  for (;;) {
    const DWORD woken = MsgWaitForMultipleObjects(1, &worker, FALSE, INFINITE, QS_ALLINPUT);
    if (!pump_pending_messages()) return;
    if (woken == WAIT_OBJECT_0 || woken == WAIT_FAILED) return;
  }
}

// Step A: the package appended to the module. Returns the open file, -1
// after an error box, or -2 to end silently. `private_folder` gets the
// private temporary folder when the header asks for one.
int read_own_package(char* archive_path, char* private_folder) {
  const DWORD got = GetModuleFileNameA(module_instance, archive_path, MAX_PATH);
  if (got == 0 || got >= MAX_PATH) {
    archive_path[0] = 0;
    show_message(MSG_CANNOT_OPEN_ARCHIVE, MB_ICONERROR);
    return -1;
  }
  const int file = _open(archive_path, _O_RDONLY | _O_BINARY);
  if (file == -1) {
    show_message(MSG_CANNOT_OPEN_ARCHIVE, MB_ICONERROR);
    return -1;
  }
  // 64-bit: a package with a cabinet close to 2 GiB is larger than 2 GiB.
  const int64_t length = _lseeki64(file, 0, SEEK_END);
  const uint32_t image_end = image_end_offset(module_instance);
  if (length < 0) {
    _close(file);
    show_message(MSG_CANNOT_OPEN_ARCHIVE, MB_ICONERROR);
    return -1;
  }
  if (image_end == 0 || uint64_t(length) <= image_end) {
    _close(file);  // nothing appended
    return -2;
  }

  PackageHeader header;
  int read = -1;
  if (_lseeki64(file, image_end, SEEK_SET) == image_end) {
    read = _read(file, &header, sizeof header);
  }
  if (read != int(sizeof header) || !package_header_recognised(&header, sizeof header)) {
    return file;  // no header: defaults and the command line apply
  }
  terminate_header_texts(&header);
  if (!header.setup_file[0]) {
    header.delete_after_setup = 0;
    header.mode = PACKAGE_MODE_ANY;
  }
  if (header.mode == PACKAGE_MODE_64BIT) {
    if (!wow64_control(-1)) {
      _close(file);
      show_message(MSG_NEEDS_64BIT, MB_ICONERROR);
      return -1;
    }
    settings.mode = PACKAGE_MODE_64BIT;
  }
  temp_folder_made = resolve_destination(settings.destination, &header, archive_path);
  if (temp_folder_made) copy_text(private_folder, MAX_PATH, settings.destination);
  copy_text(settings.setup_file, sizeof settings.setup_file, header.setup_file);
  settings.no_confirm = header.no_confirm;
  settings.open_folder = header.open_folder;
  settings.delete_after_setup = header.delete_after_setup;
  settings.no_destination_dialog = header.no_destination_dialog;
  settings.crc = header.crc;
  copy_text(settings.prompt_title, sizeof settings.prompt_title, header.prompt_title);
  copy_text(settings.prompt_text, sizeof settings.prompt_text, header.prompt_text);
  return file;
}

// Step E: the destination loop, the create-folder question and the folder.
// Returns EXIT_EXTRACTED when the folder is there to extract into.
int settle_destination(const char* base_folder, const char* archive_name) {
  bool retried = false;
  for (;;) {
    if (!settings.no_destination_dialog && ask_destination(archive_name) != 1) {
      return EXIT_CANCELLED;
    }
    slashes_to_backslashes(settings.destination);
    strip_trailing_backslash(settings.destination);
    char classified[MAX_PATH];
    if (classify_destination(base_folder, settings.destination, classified) ==
        DESTINATION_ACCEPTED) {
      copy_text(settings.destination, sizeof settings.destination, classified);
      break;
    }
    copy_text(settings.destination, sizeof settings.destination, base_folder);
    // Without the dialog nothing changes between passes: a base folder that
    // fails too would loop for ever.
    if (settings.no_destination_dialog && retried) {
      show_message(MSG_CANNOT_CREATE_FOLDER, MB_ICONERROR);
      return EXIT_FAILED;
    }
    retried = true;
  }

  trim_trailing_spaces(settings.destination);
  add_trailing_backslash(settings.destination);
  if (GetFileAttributesA(settings.destination) != INVALID_FILE_ATTRIBUTES) return EXIT_EXTRACTED;
  if (!settings.no_confirm && show_formatted(MSG_CREATE_FOLDER, MB_OKCANCEL | MB_ICONQUESTION,
                                             settings.destination) != IDOK) {
    return EXIT_CANCELLED;
  }
  if (!create_folder_path(settings.destination)) {
    show_message(MSG_CANNOT_CREATE_FOLDER, MB_ICONERROR);
    return EXIT_FAILED;
  }
  return EXIT_EXTRACTED;
}

// The system's text for an error code, without its final line break.
void system_reason(DWORD error, char* reason, DWORD size) {
  reason[0] = 0;
  const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                 nullptr, error, 0, reason, size, nullptr);
  if (n == 0 || n >= size) {
    format_text(reason, size, "%lu", error);
    return;
  }
  DWORD end = n;
  while (end > 0 && (reason[end - 1] == '\r' || reason[end - 1] == '\n')) --end;
  reason[end] = 0;
}

// The message that tells why the extraction stopped; the handler has shown
// its own for a folder it could not make, and a cancel needs none.
void report_extraction_failure() {
  char reason[256];
  switch (abort_code) {
    case ABORT_EXTRACTION_FAILED:
      show_message(MSG_EXTRACTION_FAILED, MB_ICONERROR);
      break;
    case ABORT_OUTPUT_FAILED:
      system_reason(failed_error, reason, sizeof reason);
      show_formatted(MSG_OUTPUT_FAILED, MB_ICONERROR, failed_path, reason);
      break;
    case ABORT_CABINET_MISSING:
      show_formatted(MSG_CABINET_MISSING, MB_ICONERROR, failed_path);
      break;
    case ABORT_WORKER_NOT_STARTED:
      show_message(MSG_WORKER_NOT_STARTED, MB_ICONERROR);
      break;
    default:
      break;
  }
}

// Step F: the worker extracts while this thread serves the progress window.
void extract_with_progress(char* archive_path, uint64_t set_length) {
  open_progress_window(set_length);
  DWORD thread_id;
  const HANDLE worker = CreateThread(nullptr, 0, extraction_worker, archive_path, 0, &thread_id);
  if (!worker) {
    if (progress_window) DestroyWindow(progress_window);
    pump_pending_messages();  // takes the WM_QUIT that the window posts
    abort_code = ABORT_WORKER_NOT_STARTED;
    return;
  }
  run_message_loop(worker);
  WaitForSingleObject(worker, INFINITE);
  CloseHandle(worker);
  // A worker that ended without closing the window: close it here, and take
  // its WM_QUIT so that no later message box sees it.
  if (progress_window && IsWindow(progress_window)) {
    DestroyWindow(progress_window);
    pump_pending_messages();
  }
}

}  // namespace

int main_sequence(char* archive_path) {
  char private_folder[MAX_PATH] = "";
  int file = -1;
  if (!archive_path[0]) {
    file = read_own_package(archive_path, private_folder);
    if (file < 0) return EXIT_FAILED;
  }

  const int64_t length = find_cabinet(archive_path, file);
  if (length == -1) {
    show_message(MSG_CANNOT_OPEN_ARCHIVE, MB_ICONERROR);
    return EXIT_FAILED;
  }
  if (cabinet_offset == -1) {
    show_message(MSG_NOT_SUPPORTED, MB_ICONERROR);
    return EXIT_FAILED;
  }
  const uint64_t cabinet_length = uint64_t(length - cabinet_offset);

  if (settings.prompt_text[0] && message_box(nullptr, settings.prompt_text, settings.prompt_title,
                                             MB_YESNO | MB_ICONQUESTION) != IDYES) {
    return EXIT_CANCELLED;
  }

  // A mismatch shows its warning; without a setup the files are still
  // extracted, but the run does not count as a success.
  const bool damaged =
      settings.crc != 0 && verify_package_crc(nullptr, module_instance, settings.crc) == 0;
  if (damaged && settings.setup_file[0]) return EXIT_FAILED;

  char folder[MAX_PATH];
  char name[MAX_PATH];
  split_path(archive_path, folder, name);
  if (std::strlen(folder) >= BASE_FOLDER || std::strlen(name) >= BASE_FOLDER) {
    show_message(MSG_CANNOT_OPEN_ARCHIVE, MB_ICONERROR);
    return EXIT_FAILED;
  }
  if (!settings.destination[0])
    copy_text(settings.destination, sizeof settings.destination, folder);
  cut_extension(name);
  trim_trailing_spaces(name);
  // Folders made from here on are this run's own: the clean-up may remove them.
  record_created_folders = settings.delete_after_setup != 0;
  const size_t created_before = created_folders_size;
  const int settled = settle_destination(folder, name);
  if (settled != EXIT_EXTRACTED) return settled;
  // A folder typed or picked in the dialog is never taken for the private one.
  if (temp_folder_made) {
    add_trailing_backslash(private_folder);
    temp_folder_made = lstrcmpiA(private_folder, settings.destination) == 0;
  }
  // The private folder's name is known in advance, so it must be this run's
  // own: one that was there already (a leftover, another run's, or a link
  // planted to carry the files and the setup elsewhere) is left alone, and
  // the run makes "~name.1" ... "~name.9" beside it instead.
  if (temp_folder_made && created_folders_size == created_before) {
    char* end = settings.destination + std::strlen(settings.destination) - 1;  // its backslash
    bool made = false;
    if (end + 3 < settings.destination + sizeof settings.destination) {
      end[0] = '.';
      end[2] = '\\';
      end[3] = 0;
      for (char digit = '1'; !made && digit <= '9'; ++digit) {
        end[1] = digit;
        made = CreateDirectoryA(settings.destination, nullptr) != 0;
      }
    }
    if (!made) {
      show_message(MSG_CANNOT_CREATE_FOLDER, MB_ICONERROR);
      return EXIT_FAILED;
    }
  }

  extract_with_progress(archive_path, cabinet_set_length(archive_path, cabinet_length));

  int result = damaged || files_left_out ? EXIT_FAILED : EXIT_EXTRACTED;
  if (abort_code != 0) {
    report_extraction_failure();
    result = abort_code == ABORT_CANCELLED ? EXIT_CANCELLED : EXIT_FAILED;
    // A private temporary folder is the run's alone: nothing of it stays.
    if (temp_folder_made) clean_up_extracted_files();
  } else if (settings.setup_file[0]) {
    DWORD setup_code = 0;
    if (!launch_setup(settings.setup_file, settings.destination, settings.delete_after_setup,
                      &setup_code)) {
      result = EXIT_FAILED;
    } else if (result == EXIT_EXTRACTED) {
      result = int(setup_code);
    }
    if (settings.delete_after_setup) clean_up_extracted_files();
  } else if (settings.open_folder) {
    ShellExecuteA(nullptr, "open", settings.destination, nullptr, nullptr, SW_SHOWDEFAULT);
    MessageBeep(MB_ICONASTERISK);
  }
  if (extracted_list) {
    HeapFree(GetProcessHeap(), 0, extracted_list);
    extracted_list = nullptr;
  }
  return result;
}
