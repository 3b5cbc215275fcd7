// Telling whether two paths name the same file, before either is written:
// by device and inode when both exist (so hard and symbolic links count),
// and by their resolved names when one does not exist yet.
#pragma once

// True when both exist and are one file.
bool same_file(const char* a, const char* b);

// True when writing `a` would write the file `b` names, existing or not.
bool same_place(const char* a, const char* b);
