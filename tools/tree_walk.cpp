#include "tree_walk.h"

#include <algorithm>
#include <cerrno>
#include <fts.h>
#include <sys/stat.h>

namespace {

// The path behind the "./" that the walk starts from.
std::string relative(const FTSENT* entry) {
    return entry->fts_level == 0 ? "." : std::string(entry->fts_path + 2, entry->fts_pathlen - 2);
}

} // namespace

std::vector<TreeFile> list_tree() {
    std::vector<TreeFile> files;
    char top[] = ".";
    char* const roots[] = {top, nullptr};
    FTS* tree = fts_open(roots, FTS_PHYSICAL | FTS_NOCHDIR, nullptr);
    if (tree == nullptr) {
        files.push_back({".", 0, errno});
        return files;
    }
    while (const FTSENT* entry = fts_read(tree)) {
        if (entry->fts_level > 0 && entry->fts_name[0] == '.') {
            if (entry->fts_info == FTS_D)
                (void)fts_set(tree, const_cast<FTSENT*>(entry), FTS_SKIP);
            continue;
        }
        struct stat target {};
        switch (entry->fts_info) {
        case FTS_D:
        case FTS_DP:
        case FTS_DOT:
            break;
        case FTS_DNR:
        case FTS_ERR:
        case FTS_NS:
            files.push_back({relative(entry), 0, entry->fts_errno});
            break;
        case FTS_SL:
        case FTS_SLNONE:
            // A link is installed as what it names, unless that is a directory.
            if (stat(entry->fts_accpath, &target) != 0)
                files.push_back({relative(entry), 0, 0});
            else if (!S_ISDIR(target.st_mode))
                files.push_back({relative(entry), target.st_size, 0});
            break;
        default:
            files.push_back(
                {relative(entry), entry->fts_statp != nullptr ? entry->fts_statp->st_size : 0, 0});
            break;
        }
    }
    fts_close(tree);
    std::sort(files.begin(), files.end(),
              [](const TreeFile& a, const TreeFile& b) { return a.path < b.path; });
    return files;
}
