#include "tree_walk.h"

#include <algorithm>
#include <cerrno>
#include <fts.h>

namespace {

// The path behind the "./" that the walk starts from.
std::string relative(const FTSENT* entry) {
    return entry->fts_level == 0 ? "." : std::string(entry->fts_path + 2, entry->fts_pathlen - 2);
}

// A link counts as a file unless it names a directory; stat reads what it
// names without opening it.
bool names_a_directory(const FTSENT* entry) {
    struct stat target {};
    return stat(entry->fts_accpath, &target) == 0 && S_ISDIR(target.st_mode);
}

} // namespace

std::vector<TreeFile> list_tree() {
    std::vector<TreeFile> files;
    char top[] = ".";
    char* const roots[] = {top, nullptr};
    FTS* tree = fts_open(roots, FTS_PHYSICAL | FTS_NOCHDIR, nullptr);
    if (tree == nullptr) {
        files.push_back({".", TreeEntry::unreadable, {}, errno});
        return files;
    }
    while (const FTSENT* entry = fts_read(tree)) {
        if (entry->fts_level > 0 && entry->fts_name[0] == '.') {
            if (entry->fts_info == FTS_D)
                (void)fts_set(tree, const_cast<FTSENT*>(entry), FTS_SKIP);
            continue;
        }
        struct stat status {};
        if (entry->fts_statp != nullptr)
            status = *entry->fts_statp;
        switch (entry->fts_info) {
        case FTS_D:
        case FTS_DP:
        case FTS_DOT:
            break;
        case FTS_DNR:
        case FTS_ERR:
        case FTS_NS:
            files.push_back({relative(entry), TreeEntry::unreadable, {}, entry->fts_errno});
            break;
        case FTS_SL:
        case FTS_SLNONE:
            if (!names_a_directory(entry))
                files.push_back({relative(entry), TreeEntry::link, status, 0});
            break;
        case FTS_F:
            files.push_back({relative(entry), TreeEntry::regular, status, 0});
            break;
        default:
            files.push_back({relative(entry), TreeEntry::special, status, 0});
            break;
        }
    }
    fts_close(tree);
    std::sort(files.begin(), files.end(),
              [](const TreeFile& a, const TreeFile& b) { return a.path < b.path; });
    return files;
}
