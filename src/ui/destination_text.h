// The destination dialog's check-box rule, on a 260-byte destination text.
#pragma once

// checked: append the archive name as a folder (a backslash before it if
// needed, one after it). Refused (false, text unchanged) when the result
// would not fit 259 bytes.
// unchecked: drop one final backslash, cut the text where the first
// occurrence of the archive name begins when no backslash follows it, then
// make sure the text ends in a backslash.
bool apply_archive_folder_box(char* text, const char* archive_name, bool checked);
