// Shared only inside src/tiff_out: the staging file behind a store and how
// it becomes the output. Every function returns false on any failure.
#pragma once

#include <cstddef>

#include "tiff_out/tiff_out.h"

// Makes the staging file for store->path: a temporary file beside the
// final target when one can be made there; otherwise one in $TMPDIR (by
// default /tmp), copied into place at the end.
bool open_staging(TiffStore *store);
bool write_staging(TiffStore *store, const unsigned char *data, size_t n);
// Makes the complete staging file the output, then closes it; `scratch` is
// a buffer for copying.
bool commit_staging(TiffStore *store, unsigned char *scratch, size_t scratch_size);
// Closes and removes the staging file; the output is left as it was.
void discard_staging(TiffStore *store);
