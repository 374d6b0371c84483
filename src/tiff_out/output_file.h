// Shared only inside src/tiff_out: the staging file behind a store and how
// it becomes the output. Every function returns false on any failure.
#pragma once

#include <cstddef>
#include <string>

// How a complete staging file becomes the output.
enum StagingKind {
    RENAME_OVER_TARGET,  // temporary beside the target
    COPY_INTO_TARGET,    // staged in $TMPDIR, target truncated and rewritten
    STREAM_TO_TARGET,    // staged in $TMPDIR, target not a regular file
};

struct StagingFile {
    int fd = -1;
    StagingKind kind = RENAME_OVER_TARGET;
    std::string target;     // the file replaced or written
    std::string temp_path;  // a named temporary file beside the target, or empty
};

// Makes the staging file for `path`: a temporary file beside the final
// target when one can be made there; otherwise one in $TMPDIR (by default
// /tmp), copied into place at the end.
bool open_staging(StagingFile *staging, const char *path);
bool write_staging(StagingFile *staging, const unsigned char *data, size_t n);
// Makes the complete staging file the output, then closes it; `scratch` is
// a buffer for copying.
bool commit_staging(StagingFile *staging, unsigned char *scratch, size_t scratch_size);
// Closes and removes the staging file; the output is left as it was.
void discard_staging(StagingFile *staging);
