// Directory-tree helpers of the update store: creating a path with its parents and removing a
// whole tree.
#pragma once
#include "adt/text.h"

namespace updates {

// Creates `path` and every missing directory above it. Throws adt::IOException
// "\"<dir>\": <system text>" for the first one that cannot be created.
void makeDirectories(const adt::String& path);

// Removes `path` and everything below it. Symbolic links are removed, never followed, so a link
// inside the tree cannot lead the removal elsewhere. Throws adt::IOException (files) or
// adt::LastError (directories) at the first entry that cannot be removed; a missing `path` is
// not an error.
void removeTree(const adt::String& path);

// The parent of an absolute path ("/a/b" -> "/a", "/a" -> "/").
adt::String parentPath(const adt::String& path);

}  // namespace updates
