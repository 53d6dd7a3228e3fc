// Replacing files safely: what stands at a path a script function is about to replace or
// overwrite, and a whole file written beside its target and renamed over it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tapline::system {

// How a file is replaced: a new file renamed over the path (a symbolic link there is
// replaced itself), or the file the path leads to truncated and written (a link is
// followed).
enum class Replacing { by_rename, in_place };

// nullptr when the path may be replaced: nothing stands there, or a regular file, or (by
// rename) a symbolic link. Otherwise what stands there ("a directory", "a FIFO", "a
// socket", "a device node"), which must never be replaced: writing into a FIFO waits for
// a reader, and replacing a device node breaks the system.
const char* unreplaceable_file_kind(const char* path, Replacing how);

// Who may read a written file: whom the umask lets (mode 0666 less the umask, as any new
// file), or its owner alone (0600 whatever the umask and the folder).
enum class Readers { by_umask, owner_only };

// Writes `bytes` to `path`, replacing an existing file only once the new one is complete.
bool write_file_replacing(const char* path, const std::vector<uint8_t>& bytes, std::string& error,
                          Readers readers = Readers::by_umask);

}  // namespace tapline::system
