// The extraction worker: runs the cabinet library over the archive file and
// closes the progress window whatever the outcome.
#include <windows.h>

#include <cstring>

#include "extract/extract.h"
#include "startup/globals.h"
#include "startup/paths.h"
#include "ui/ui.h"

// The library joins folder and name in buffers of 256 and 257 characters.
constexpr size_t CAB_PATH_LIMIT = 256;
constexpr size_t CAB_FULL_PATH_LIMIT = 257;

DWORD WINAPI extraction_worker(LPVOID archive_path) {
  CabErrorRecord error = {};
  int32_t result = -1;
  CabDecoder* context = CabDecoderCreate(cab_alloc, cab_free, cab_open, cab_read, cab_write,
                                         cab_close, cab_seek, -1, &error);
  if (context) {
    char folder[PATH_BUFFER];
    char name[PATH_BUFFER];
    split_path(static_cast<const char*>(archive_path), folder, name);
    const size_t folder_length = strlen(folder);
    // A path the library cannot hold is a failure, not a cut path.
    if (name[0] != '\0' && folder_length <= CAB_PATH_LIMIT &&
        folder_length + strlen(name) <= CAB_FULL_PATH_LIMIT) {
      // Files are written on a thread of their own while this one decodes;
      // without that thread they are written here.
      output_start();
      result =
          CabDecoderExtract(context, name, folder, 0, on_cab_notification, nullptr, 0) ? 0 : -1;
    }
    CabDecoderDestroy(context);
  }
  // Everything decoded is written (a failed write tells its own failure)
  // and a file left unfinished is removed.
  output_finish();
  // A failure that none of the callbacks explained is the archive's: the
  // main sequence tells the user and runs no after-action.
  if (result != 0) {
    InterlockedCompareExchange(reinterpret_cast<volatile LONG*>(&abort_code),
                               ABORT_EXTRACTION_FAILED, 0);
  } else {
    finish_progress();
  }
  close_progress_window();
  return static_cast<DWORD>(result);
}
