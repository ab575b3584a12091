// Verifying what a tree or an archive installed: each file that its install
// would write, in the install's order, compared with its installed copy.
// Nothing is written and no lock is taken.
#pragma once

#include "archive_run.h"
#include "verify.h"
#include "walk.h"

#include <functional>
#include <string>
#include <string_view>
#include <vector>

// Told of each file's verification, in order.
using ReportVerified = std::function<void(std::string_view path, const Verified& verified)>;

// Verifies the tree's files, reached from its top directory. A file with a
// manifest's digest is verified by it, its update opened only to tell the
// versions of a copy that differs.
void verify_tree(const std::vector<TreeFile>& files, int top, const ReportVerified& report);

// Verifies the members from source on, then each file that the manifest
// lists and the archive lacks, by its digest. Damage fails the files not
// yet reached: with a manifest each listed one, else the archive; the
// number of files reported and the entries left out are returned.
ArchiveTotals verify_archive(ArchiveSource source, const ArchiveRunSettings& settings,
                             const ReportVerified& report);
