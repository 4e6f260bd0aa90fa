// The folder and data-block engine: opens cabinets, walks the file list,
// decodes each folder's data blocks in order and cuts them into the caller's
// output files, following folders across cabinet boundaries.
//
// Two handles are kept on the cabinet: the list handle reads the header and
// then the file records strictly in sequence; the data handle seeks to folder
// records and data blocks. Neither disturbs the other's position.
#include <climits>
#include <cstring>

#include "cabinet/cab_internal.h"

namespace {

constexpr int32_t SEEK_FROM_START = 0;
constexpr int32_t SEEK_FROM_CURRENT = 1;
constexpr uint32_t STRING_READ = 256;  // one string: up to 255 characters and its NUL

// CFHEADER fields.
uint32_t coff_files(const CabDecoder* c) {
  return CabGet32(c->header + 16);
}
uint16_t folder_count(const CabDecoder* c) {
  return CabGet16(c->header + 26);
}
uint16_t file_count(const CabDecoder* c) {
  return CabGet16(c->header + 28);
}
uint16_t header_flags(const CabDecoder* c) {
  return CabGet16(c->header + 30);
}
uint16_t set_id(const CabDecoder* c) {
  return CabGet16(c->header + 32);
}
uint16_t cabinet_index(const CabDecoder* c) {
  return CabGet16(c->header + 34);
}

constexpr uint16_t FLAG_PREV_CABINET = 0x0001;
constexpr uint16_t FLAG_NEXT_CABINET = 0x0002;
constexpr uint16_t FLAG_RESERVE_PRESENT = 0x0004;

// CFFILE fields.
uint32_t file_size(const CabDecoder* c) {
  return CabGet32(c->file_record + 0);
}
uint32_t file_offset(const CabDecoder* c) {
  return CabGet32(c->file_record + 4);
}
uint16_t file_folder(const CabDecoder* c) {
  return CabGet16(c->file_record + 8);
}
uint16_t file_date(const CabDecoder* c) {
  return CabGet16(c->file_record + 10);
}
uint16_t file_time(const CabDecoder* c) {
  return CabGet16(c->file_record + 12);
}
uint16_t file_attribs(const CabDecoder* c) {
  return CabGet16(c->file_record + 14);
}

constexpr uint16_t ATTRIB_RUN_AFTER_EXTRACT = 0x40;

bool continues_from_previous(uint16_t folder) {
  return (folder & 0xFFFD) == 0xFFFD;
}
bool continues_into_next(uint16_t folder) {
  return (folder & 0xFFFE) == 0xFFFE;
}

// Length of a NUL-terminated string within limit bytes, or limit when no NUL
// lies within them.
uint32_t bounded_length(const char* text, uint32_t limit) {
  if (!text) return 0;
  const void* nul = memchr(text, 0, limit);
  return nul ? static_cast<uint32_t>(static_cast<const char*>(nul) - text) : limit;
}

bool read_exact(CabDecoder* c, int32_t handle, void* buffer, uint32_t count) {
  if (count == 0) return true;
  return c->read(handle, buffer, count) == static_cast<int32_t>(count);
}

int32_t send(CabDecoder* c, int32_t kind) {
  return c->notify ? c->notify(kind, &c->notification) : 0;
}

int32_t call_hook(CabDecoder* c, int32_t kind, uint8_t* reserve, uint16_t reserve_size) {
  if (!c->hook) return 0;
  CabBlockHookRecord& r = c->hook_record;
  r.kind = kind;
  r.user = c->user;
  r.reserve = reserve_size ? reserve : nullptr;
  r.reserveSize = reserve_size;
  return c->hook(&r);
}

void close_cabinet_handles(CabDecoder* c) {
  if (c->list_handle != -1) c->close(c->list_handle);
  c->list_handle = -1;
  if (c->data_handle != -1) c->close(c->data_handle);
  c->data_handle = -1;
}

// B. One set-chaining string or file name into a buffer of CAB_STRING_BUFFER.
int32_t read_string(CabDecoder* c, char* buffer) {
  const int32_t start = c->seek(c->list_handle, 0, SEEK_FROM_CURRENT);
  if (start == -1) return CabFail(c, CAB_ERR_DAMAGED);
  int32_t got = c->read(c->list_handle, buffer, STRING_READ);
  if (got <= 0) return CabFail(c, CAB_ERR_DAMAGED);
  if (got > static_cast<int32_t>(STRING_READ)) got = STRING_READ;
  // Only the bytes actually read count: a string that runs into the end of
  // the file is as damaged as one without a NUL in 256 bytes.
  const uint32_t length = bounded_length(buffer, static_cast<uint32_t>(got));
  if (length == static_cast<uint32_t>(got)) {
    buffer[0] = 0;
    return CabFail(c, CAB_ERR_DAMAGED);
  }
  const int64_t after = static_cast<int64_t>(start) + length + 1;
  if (after > INT32_MAX ||
      c->seek(c->list_handle, static_cast<int32_t>(after), SEEK_FROM_START) == -1) {
    return CabFail(c, CAB_ERR_DAMAGED);
  }
  return 1;
}

// The folder record and data header buffers, allocated once at their largest.
int32_t record_buffer(CabDecoder* c, uint8_t** buffer) {
  if (!*buffer) *buffer = static_cast<uint8_t*>(c->alloc(CAB_MAX_RECORD_SIZE));
  return *buffer ? 1 : CabFail(c, CAB_ERR_NO_MEMORY);
}

// A. Opens cabinet_path + name on both handles and reads its header. With an
// expected index other than CAB_NOTHING_EXPECTED the set id and index are
// checked.
int32_t open_cabinet(CabDecoder* c, const char* name, uint16_t expected_set,
                     uint16_t expected_index) {
  // The path buffer may have been edited by the caller; neither it nor the
  // name is trusted to hold a NUL where it should.
  const uint32_t path_length = bounded_length(c->cabinet_path, CAB_STRING_BUFFER);
  const uint32_t name_length = bounded_length(name, CAB_FULL_PATH_BUFFER);
  if (path_length > CAB_MAX_PATH_CHARS || path_length + name_length > CAB_MAX_FULL_PATH_CHARS) {
    return CabFail(c, CAB_ERR_CABINET_MISSING);
  }
  memcpy(c->full_path, c->cabinet_path, path_length);
  if (name_length) memcpy(c->full_path + path_length, name, name_length);
  c->full_path[path_length + name_length] = 0;

  c->list_handle = c->open(c->full_path, CAB_OPEN_READ_BINARY, CAB_OPEN_MODE);
  if (c->list_handle == -1) return CabFail(c, CAB_ERR_CABINET_MISSING);
  c->data_handle = c->open(c->full_path, CAB_OPEN_READ_BINARY, CAB_OPEN_MODE);
  if (c->data_handle == -1) return CabFail(c, CAB_ERR_CABINET_MISSING);

  uint8_t header[CAB_HEADER_SIZE];
  // Compared as a number: a "MSCF" literal would put the package signature
  // (its NUL and padding) into the module, where the cabinet search finds it.
  if (!read_exact(c, c->list_handle, header, CAB_HEADER_SIZE) || CabGet32(header) != 0x4643534Du) {
    return CabFail(c, CAB_ERR_NOT_CABINET);
  }
  const uint16_t version = CabGet16(header + 24);
  if (version != 0x0103) return CabFail(c, CAB_ERR_VERSION, version);
  if (expected_index != CAB_NOTHING_EXPECTED &&
      (CabGet16(header + 32) != expected_set || CabGet16(header + 34) != expected_index)) {
    return CabFail(c, CAB_ERR_WRONG_CABINET);
  }
  memcpy(c->header, header, CAB_HEADER_SIZE);

  // Every cabinet is read with its own reserve sizes. A cabinet that goes on
  // with a folder must keep the folder and data reserve sizes of the one
  // before it, as the rest of the set was written with them.
  const bool reserves = (header_flags(c) & FLAG_RESERVE_PRESENT) != 0;
  uint8_t sizes[4] = {};
  if (reserves && !read_exact(c, c->list_handle, sizes, sizeof sizes)) {
    return CabFail(c, CAB_ERR_NOT_CABINET);
  }
  const uint16_t header_reserve = CabGet16(sizes);
  const uint16_t folder_record_size = static_cast<uint16_t>(CAB_FOLDER_FIXED_SIZE + sizes[2]);
  const uint16_t data_header_size = static_cast<uint16_t>(CAB_DATA_FIXED_SIZE + sizes[3]);
  if (expected_index != CAB_NOTHING_EXPECTED &&
      (folder_record_size != c->folder_record_size || data_header_size != c->data_header_size)) {
    return CabFail(c, CAB_ERR_RESERVE_SIZE);
  }
  if (header_reserve > c->header_reserve_capacity) {
    if (c->header_reserve) c->free(c->header_reserve);
    c->header_reserve_capacity = 0;
    c->header_reserve = static_cast<uint8_t*>(c->alloc(header_reserve));
    if (!c->header_reserve) return CabFail(c, CAB_ERR_NO_MEMORY);
    c->header_reserve_capacity = header_reserve;
  }
  c->header_reserve_size = header_reserve;
  if (!read_exact(c, c->list_handle, c->header_reserve, header_reserve)) {
    return CabFail(c, CAB_ERR_NOT_CABINET);
  }
  if (!record_buffer(c, &c->folder_record) || !record_buffer(c, &c->data_header)) return 0;
  c->folder_record_size = folder_record_size;
  c->data_header_size = data_header_size;

  c->prev_cabinet[0] = c->prev_disk[0] = 0;
  c->next_cabinet[0] = c->next_disk[0] = 0;
  if (header_flags(c) & FLAG_PREV_CABINET) {
    if (!read_string(c, c->prev_cabinet) || !read_string(c, c->prev_disk)) return 0;
  }
  if (header_flags(c) & FLAG_NEXT_CABINET) {
    if (!read_string(c, c->next_cabinet) || !read_string(c, c->next_disk)) return 0;
  }

  const int32_t array = c->seek(c->list_handle, 0, SEEK_FROM_CURRENT);
  if (array == -1) return CabFail(c, CAB_ERR_DAMAGED);
  c->folder_array_position = static_cast<uint32_t>(array);
  if (c->seek(c->list_handle, static_cast<int32_t>(coff_files(c)), SEEK_FROM_START) == -1) {
    return CabFail(c, CAB_ERR_DAMAGED);
  }
  c->files_left = file_count(c);

  CabNotification& n = c->notification;
  n.text1 = c->next_cabinet;
  n.text2 = c->next_disk;
  n.text3 = c->cabinet_path;
  n.user = c->user;
  n.setId = set_id(c);
  n.cabinetIndex = cabinet_index(c);
  if (send(c, CAB_NOTIFY_CABINET_OPENED) == -1) return CabFail(c, CAB_ERR_ABORTED);

  c->hook_record.setId = set_id(c);
  c->hook_record.cabinetIndex = cabinet_index(c);
  if (call_hook(c, CAB_HOOK_CABINET, c->header_reserve, c->header_reserve_size) == -1) {
    return CabFail(c, CAB_ERR_ABORTED);
  }
  return 1;
}

// D. Tells the caller where the next file record lies and how many are left;
// the caller may move the list or change the count.
int32_t report_position(CabDecoder* c) {
  const int32_t position = c->seek(c->list_handle, 0, SEEK_FROM_CURRENT);
  if (position == -1) return CabFail(c, CAB_ERR_DAMAGED);
  CabNotification& n = c->notification;
  n.size = static_cast<uint32_t>(position);
  n.folder = c->files_left;
  n.setId = set_id(c);
  n.user = c->user;
  if (send(c, CAB_NOTIFY_LIST_POSITION) == -1) return CabFail(c, CAB_ERR_ABORTED);
  c->files_left = n.folder;
  if (c->files_left != 0 && n.size != static_cast<uint32_t>(position)) {
    if (c->seek(c->list_handle, static_cast<int32_t>(n.size), SEEK_FROM_START) == -1) {
      return CabFail(c, CAB_ERR_ABORTED);
    }
  }
  return 1;
}

// E. The next CFFILE record and its name.
int32_t read_file_record(CabDecoder* c) {
  if (!read_exact(c, c->list_handle, c->file_record, CAB_FILE_RECORD_SIZE)) {
    return CabFail(c, CAB_ERR_DAMAGED);
  }
  return read_string(c, c->file_name);
}

// I. Reads folder record f and selects its decoder. When continuing a folder
// from the previous cabinet, required_type is the type word that folder had:
// a different word cannot continue its stream.
int32_t read_folder_record(CabDecoder* c, uint16_t f, const uint16_t* required_type) {
  c->current_folder = f;
  const uint32_t at = c->folder_array_position + static_cast<uint32_t>(f) * c->folder_record_size;
  if (c->seek(c->data_handle, static_cast<int32_t>(at), SEEK_FROM_START) == -1 ||
      !read_exact(c, c->data_handle, c->folder_record, c->folder_record_size) ||
      c->seek(c->data_handle, static_cast<int32_t>(CabGet32(c->folder_record)), SEEK_FROM_START) ==
          -1) {
    c->current_folder = CAB_NO_FOLDER;
    return CabFail(c, CAB_ERR_DAMAGED);
  }
  c->blocks_left = CabGet16(c->folder_record + 4);
  const uint16_t type_word = CabGet16(c->folder_record + 6);
  if (required_type && type_word != *required_type) {
    c->current_folder = CAB_NO_FOLDER;
    return CabFail(c, CAB_ERR_WRONG_CABINET);
  }
  if ((type_word & 0x000F) == COMPRESSION_UNSET || !CabSelectDecoder(c, type_word)) {
    c->current_folder = CAB_NO_FOLDER;
    return (type_word & 0x000F) == COMPRESSION_UNSET ? CabFail(c, CAB_ERR_COMPRESSION_TYPE) : 0;
  }
  c->hook_record.folderIndex = f;
  if (call_hook(c, CAB_HOOK_FOLDER, c->folder_record + CAB_FOLDER_FIXED_SIZE,
                static_cast<uint16_t>(c->folder_record_size - CAB_FOLDER_FIXED_SIZE)) == -1) {
    return CabFail(c, CAB_ERR_ABORTED);
  }
  return 1;
}

// J. Reads one CFDATA into the compressed buffer at offset carried (the first
// piece's bytes of a block split across cabinets) and verifies its checksum.
int32_t read_data_block(CabDecoder* c, uint32_t carried) {
  if (!c->compressed) return CabFail(c, CAB_ERR_DECODER);
  if (!read_exact(c, c->data_handle, c->data_header, c->data_header_size)) {
    return CabFail(c, CAB_ERR_DAMAGED);
  }
  const uint32_t csum = CabGet32(c->data_header);
  const uint16_t data_size = CabGet16(c->data_header + 4);
  const uint16_t uncompressed = CabGet16(c->data_header + 6);
  if (carried + data_size > c->compressed_capacity) return CabFail(c, CAB_ERR_DAMAGED);
  uint8_t* data = c->compressed + carried;
  if (!read_exact(c, c->data_handle, data, data_size)) return CabFail(c, CAB_ERR_DAMAGED);
  if (csum != 0) {
    uint32_t sum = CabChecksum(data, data_size, 0);
    sum = CabChecksum(c->data_header + 4, c->data_header_size - 4u, sum);
    if (sum != csum) return CabFail(c, CAB_ERR_DAMAGED);
  }
  c->block_compressed_size = carried + data_size;
  c->block_uncompressed_size = uncompressed;

  // For the second piece of a split block the hook sees the joined block,
  // both pieces from the start of the buffer: that is what will be decoded.
  CabBlockHookRecord& r = c->hook_record;
  r.data = c->compressed;
  r.dataSize = static_cast<uint16_t>(c->block_compressed_size);
  r.split = (carried != 0 || uncompressed == 0) ? 1 : 0;
  r.carried = static_cast<uint16_t>(carried);
  if (call_hook(c, CAB_HOOK_DATA_BLOCK, c->data_header + CAB_DATA_FIXED_SIZE,
                static_cast<uint16_t>(c->data_header_size - CAB_DATA_FIXED_SIZE)) == -1) {
    return CabFail(c, CAB_ERR_ABORTED);
  }
  return 1;
}

// Whether a record belongs to the files this walk offers: in the cabinet it
// began with, those that begin there; after moving on, those continued.
bool offered_by_walk(const CabDecoder* c) {
  return continues_from_previous(file_folder(c)) == c->continuing;
}

// Reads the next record of the list into the context, counting it when it
// continues into the next cabinet.
int32_t read_listed_record(CabDecoder* c) {
  --c->files_left;
  if (!read_file_record(c)) return 0;
  if (continues_into_next(file_folder(c))) ++c->spanning_read;
  return 1;
}

// K. Closes this cabinet and opens the next one of the set, asking the caller
// until it succeeds or the caller gives up.
int32_t move_to_next_cabinet(CabDecoder* c) {
  const uint16_t expected_set = set_id(c);
  const uint16_t expected_index = static_cast<uint16_t>(cabinet_index(c) + 1);
  const uint16_t continued_type = c->type_word;
  // The record of the file being written is needed for its end.
  uint8_t file_record[CAB_FILE_RECORD_SIZE];
  char file_name[CAB_STRING_BUFFER];
  memcpy(file_record, c->file_record, sizeof file_record);
  memcpy(file_name, c->file_name, sizeof file_name);

  // The rest of this list can no longer be offered from here: records that
  // continue into the next cabinet are listed there again (those still owed
  // from this list among them), any other one of this walk's files is lost.
  c->continued_owed = 0;
  while (c->files_left != 0) {
    --c->files_left;
    if (!read_file_record(c)) return 0;
    if (!offered_by_walk(c)) continue;
    if (continues_into_next(file_folder(c))) {
      ++c->continued_owed;
    } else {
      ++c->files_lost;
    }
  }

  // A failed attempt may have read another cabinet's names into the buffers;
  // every attempt starts again from the names this cabinet gave.
  char wanted_cabinet[CAB_STRING_BUFFER];
  char wanted_disk[CAB_STRING_BUFFER];
  memcpy(wanted_cabinet, c->next_cabinet, CAB_STRING_BUFFER);
  memcpy(wanted_disk, c->next_disk, CAB_STRING_BUFFER);

  int32_t last_error = CAB_ERR_NONE;
  for (;;) {
    int32_t closed = 0;
    if (c->data_handle != -1) closed |= c->close(c->data_handle);
    c->data_handle = -1;
    if (c->list_handle != -1) closed |= c->close(c->list_handle);
    c->list_handle = -1;
    if (closed != 0) return CabFail(c, CAB_ERR_DAMAGED);

    memcpy(c->next_cabinet, wanted_cabinet, CAB_STRING_BUFFER);
    memcpy(c->next_disk, wanted_disk, CAB_STRING_BUFFER);
    CabNotification& n = c->notification;
    n.text1 = c->next_cabinet;
    n.text2 = c->next_disk;
    n.text3 = c->cabinet_path;
    n.user = c->user;
    n.setId = expected_set;
    n.cabinetIndex = expected_index;
    n.lastError = last_error;
    if (send(c, CAB_NOTIFY_NEED_CABINET) == -1) return CabFail(c, CAB_ERR_ABORTED);

    if (open_cabinet(c, c->next_cabinet, expected_set, expected_index) &&
        read_folder_record(c, 0, &continued_type)) {
      break;
    }
    if (c->last_error == CAB_ERR_ABORTED) return 0;
    last_error = c->last_error;
  }

  // The head of the new list repeats the records of the files already dealt
  // with in the previous cabinet (offered, declined or passed over); only
  // files that really continue are listed there.
  const uint16_t repeated = c->spanning_read;
  c->spanning_read = 0;
  for (uint32_t i = 0; i < repeated; ++i) {
    if (c->files_left == 0) return CabFail(c, CAB_ERR_DAMAGED);
    if (!read_listed_record(c)) return 0;
  }
  memcpy(c->file_record, file_record, sizeof file_record);
  memcpy(c->file_name, file_name, sizeof file_name);
  c->continuing = true;
  return 1;
}

// H. Moves to the folder's next data block and decodes it.
int32_t next_block(CabDecoder* c) {
  const uint64_t start = static_cast<uint64_t>(c->block_start) + c->block_uncompressed_size;
  if (start > 0xFFFFFFFFu) return CabFail(c, CAB_ERR_DAMAGED);
  c->block_start = static_cast<uint32_t>(start);
  if (c->blocks_left == 0 && !move_to_next_cabinet(c)) return 0;
  if (c->blocks_left == 0) return CabFail(c, CAB_ERR_DAMAGED);
  --c->blocks_left;
  if (!read_data_block(c, 0)) return 0;
  if (c->block_uncompressed_size == 0) {
    // First piece of a block that continues in the next cabinet.
    const uint32_t carried = c->block_compressed_size;
    if (!move_to_next_cabinet(c)) return 0;
    if (c->blocks_left == 0) return CabFail(c, CAB_ERR_DAMAGED);
    if (!read_data_block(c, carried)) return 0;
    --c->blocks_left;
  }
  // Once moved on, the folder cannot be decoded again, so every block is new.
  const uint64_t key = (static_cast<uint64_t>(c->current_folder) << 32) | c->folder_blocks++;
  if (c->continuing || key >= c->frontier) {
    if (!c->continuing) c->frontier = key + 1;
    ++c->blocks_first;
  } else if (++c->blocks_again > CAB_REDECODE_FACTOR * static_cast<uint64_t>(c->blocks_first) +
                                     CAB_REDECODE_ALLOWANCE) {
    // Files listed out of order make the folder decode again and again.
    return CabFail(c, CAB_ERR_DAMAGED);
  }
  uint16_t produced = static_cast<uint16_t>(c->block_uncompressed_size);
  if (!CabDecodeBlock(c, &produced)) return 0;
  if (produced != c->block_uncompressed_size) return CabFail(c, CAB_ERR_DECODER);
  return 1;
}

// G. Makes folder f (a file's iFolder) the one being decoded.
int32_t select_folder(CabDecoder* c, uint16_t f) {
  if (c->continuing) return 1;
  if (continues_into_next(f)) f = static_cast<uint16_t>(folder_count(c) - 1);
  // Also catches a continuation value in a cabinet without folders.
  if (f >= folder_count(c)) return CabFail(c, CAB_ERR_DAMAGED);
  if (f == c->current_folder) return 1;
  if (!CabResetDecoder(c) || !read_folder_record(c, f, nullptr)) return 0;
  c->folder_blocks = 0;
  if (!next_block(c)) return 0;
  c->block_start = 0;
  return 1;
}

int32_t write_file_data(CabDecoder* c) {
  uint32_t remaining = file_size(c);
  if (remaining == 0) return 1;
  uint64_t position = file_offset(c);
  if (c->block_start > position) c->current_folder = CAB_NO_FOLDER;
  if (!select_folder(c, file_folder(c))) return 0;
  while (c->block_start + static_cast<uint64_t>(c->block_uncompressed_size) <= position) {
    if (!next_block(c)) return 0;
  }
  while (remaining != 0) {
    // After a move to the next cabinet the folder cannot be decoded again
    // from its start, so a file that lies before the current block is damage.
    const uint64_t block_end = c->block_start + static_cast<uint64_t>(c->block_uncompressed_size);
    if (position < c->block_start || position >= block_end) return CabFail(c, CAB_ERR_DAMAGED);
    const uint32_t offset = static_cast<uint32_t>(position - c->block_start);
    uint32_t n = c->block_uncompressed_size - offset;
    if (n > remaining) n = remaining;
    if (c->write(c->output_handle, c->uncompressed + offset, n) != static_cast<int32_t>(n)) {
      return CabFail(c, CAB_ERR_OUTPUT);
    }
    position += n;
    remaining -= n;
    if (remaining != 0 && !next_block(c)) return 0;
  }
  return 1;
}

// F. Writes the current file to the output handle and reports its end.
int32_t extract_file(CabDecoder* c) {
  if (!write_file_data(c)) {
    c->close(c->output_handle);
    c->output_handle = -1;
    return 0;
  }
  CabNotification& n = c->notification;
  const uint16_t attribs = file_attribs(c);
  n.text1 = c->file_name;
  n.handle = c->output_handle;
  n.date = file_date(c);
  n.time = file_time(c);
  n.user = c->user;
  n.folder = file_folder(c);
  n.size = (attribs & ATTRIB_RUN_AFTER_EXTRACT) ? 1 : 0;
  n.attribs = static_cast<uint16_t>(attribs & ~ATTRIB_RUN_AFTER_EXTRACT);
  const int32_t answer = send(c, CAB_NOTIFY_FILE_END);
  if (answer == -1) {
    c->close(c->output_handle);
    c->output_handle = -1;
    return CabFail(c, CAB_ERR_ABORTED);
  }
  c->output_handle = -1;  // the caller owns it now
  return answer == 0 ? CabFail(c, CAB_ERR_OUTPUT) : 1;
}

// C.5.6. Asks the caller for an output handle and extracts the file to it.
int32_t offer_file(CabDecoder* c) {
  const int32_t answer = send(c, CAB_NOTIFY_FILE_BEGIN);
  if (answer == -1) return CabFail(c, CAB_ERR_ABORTED);
  if (answer == 0) return 1;
  c->output_handle = answer;
  return extract_file(c);
}

// The end of a walk: every file of its listing must have been offered.
int32_t finish_walk(CabDecoder* c) {
  return c->files_lost == 0 && c->continued_owed == 0 ? 1 : CabFail(c, CAB_ERR_DAMAGED);
}

int32_t walk(CabDecoder* c, const char* cabinet_name) {
  if (!open_cabinet(c, cabinet_name, 0, CAB_NOTHING_EXPECTED)) return 0;
  c->continuing = false;
  c->current_folder = CAB_NO_FOLDER;
  c->block_start = 0;
  c->block_uncompressed_size = 0;
  c->spanning_read = 0;
  c->files_lost = 0;
  c->continued_owed = 0;
  c->frontier = 0;
  c->blocks_first = 0;
  c->blocks_again = 0;
  if (!report_position(c)) return 0;
  for (;;) {
    if (c->files_left == 0) return finish_walk(c);
    if (!read_listed_record(c)) return 0;

    CabNotification& n = c->notification;
    n.size = file_size(c);
    n.text1 = c->file_name;
    n.text2 = c->prev_cabinet;
    n.text3 = c->prev_disk;
    n.date = file_date(c);
    n.time = file_time(c);
    n.attribs = file_attribs(c);
    n.user = c->user;
    n.folder = file_folder(c);

    if (continues_from_previous(file_folder(c))) {
      if (c->continuing) {
        if (c->continued_owed != 0) --c->continued_owed;
        if (!offer_file(c)) return 0;
      } else if (send(c, CAB_NOTIFY_CONTINUED_FILE) == -1) {
        return CabFail(c, CAB_ERR_ABORTED);
      }
    } else if (c->continuing) {
      // Files that start in this cabinet belong to a walk that begins here.
      c->files_left = 0;
    } else if (!offer_file(c)) {
      return 0;
    }
    if (c->files_left == 0 && !report_position(c)) return 0;
  }
}

}  // namespace

int32_t CabDecoderExtract(CabDecoder* context, const char* cabinet_name, const char* cabinet_path,
                          int32_t /*flags: reserved*/, CabNotifyFn notify, CabBlockHookFn hook,
                          intptr_t user) {
  CabDecoder* c = context;
  c->user = user;
  c->notify = notify;
  c->hook = hook;
  c->output_handle = -1;
  // Path and name must fit the context's buffers; a longer one is reported as
  // a cabinet that cannot be found, without opening anything.
  const uint32_t path_length = bounded_length(cabinet_path, CAB_STRING_BUFFER);
  int32_t result = 0;
  if (path_length > CAB_MAX_PATH_CHARS) {
    c->cabinet_path[0] = 0;
    CabFail(c, CAB_ERR_CABINET_MISSING);
  } else {
    if (path_length) memcpy(c->cabinet_path, cabinet_path, path_length);
    c->cabinet_path[path_length] = 0;
    result = walk(c, cabinet_name ? cabinet_name : "");
  }
  close_cabinet_handles(c);
  return result;
}

uint32_t CabChecksum(const void* bytes, uint32_t length, uint32_t seed) {
  const uint8_t* p = static_cast<const uint8_t*>(bytes);
  uint32_t sum = seed;
  if (length >= 4) {
    for (uint32_t group = length / 16; group != 0; --group, p += 16) {
      sum ^= CabGet32(p) ^ CabGet32(p + 4) ^ CabGet32(p + 8) ^ CabGet32(p + 12);
    }
    for (uint32_t word = (length / 4) % 4; word != 0; --word, p += 4) sum ^= CabGet32(p);
  }
  switch (length % 4) {
    case 3:
      sum ^= (static_cast<uint32_t>(p[0]) << 16) ^ (static_cast<uint32_t>(p[1]) << 8) ^ p[2];
      break;
    case 2:
      sum ^= (static_cast<uint32_t>(p[0]) << 8) ^ p[1];
      break;
    case 1:
      sum ^= p[0];
      break;
  }
  return sum;
}
