// The update tree's top directory, opened once: every file and directory
// of the tree is reached from it.
#pragma once

#include <string>

// Opens the directory dir for reading, resolved one component at a time: a
// symbolic link on the way is followed only when root owns it, since a
// link that another user owns could point the run at a directory of
// root's, whose files would then be installed for all to read. Returns the
// descriptor, or -1 with where (the path that failed) and why (the reason)
// set.
int open_tree_top(const char* dir, std::string& where, std::string& why);
