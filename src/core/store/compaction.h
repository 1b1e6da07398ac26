// Compaction of a host database: a fresh, tightly packed copy written through
// sqlcipher_export with the source's own key, so that the copy keeps the source's
// password state (protected stays protected with the same password, plain stays plain).
#pragma once

#include <string>

namespace vornback {

// Opens source with key ("" for an unprotected database) and writes its compacted copy to
// destination, which must not exist, keeping the key and the user_version. On success the
// copy is complete and closed. Throws DatabaseError when the source is missing, the key
// does not open it (the key is checked by reading), the destination exists, or the copy
// fails; a partly written destination is removed before the throw.
void CompactDatabase(const std::string& source, const std::string& destination,
                     const std::string& key);

}  // namespace vornback
