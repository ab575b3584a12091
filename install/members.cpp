#include "members.h"

#include "target.h"
#include "tree_path.h"
#include "walk.h"

#include <algorithm>
#include <climits>
#include <cstring>

namespace {

MemberPlan failed(const std::string& path, Problem problem) {
    return {MemberVerdict::fail, path, problem};
}

// A path that is safe, and that the destination can hold: no component
// longer than a name may be, the whole shorter than a destination's buffer.
bool fits_the_destination(std::string_view path) {
    return is_safe_path(path) && DICTIONARY_ROOT.size() + 1 + path.size() < PATH_SIZE &&
           for_each_component(path, [](std::string_view name, std::string_view) {
               return name.size() <= NAME_MAX;
           });
}

MemberRules::NameKey key_of(std::string_view name) {
    Sha256Stream stream;
    stream.add({reinterpret_cast<const unsigned char*>(name.data()), name.size()});
    Sha256 digest{};
    (void)stream.finish(digest);
    MemberRules::NameKey key{};
    std::copy_n(digest.begin(), key.size(), key.begin());
    return key;
}

} // namespace

std::size_t MemberRules::NameKeyHash::operator()(const NameKey& key) const {
    std::size_t hash = 0;
    std::memcpy(&hash, key.data(), sizeof hash);
    return hash;
}

bool MemberRules::seen(const std::string& path) const {
    return seen_.contains(key_of(path));
}

std::string without_dot_slash(std::string path) {
    while (path.starts_with("./"))
        path.erase(0, 2);
    return path;
}

MemberPlan MemberRules::classify(const Member& member) {
    std::string path = without_dot_slash(member.path);
    const bool is_directory = member.kind == MemberKind::directory;
    if (is_directory) {
        while (path.ends_with('/'))
            path.pop_back();
        if (path.empty() || path == ".")
            return {MemberVerdict::skip, path};
    }
    if (!fits_the_destination(path))
        return failed(member.path, Problem::unsafe_name);
    // The walk's rules: a name starting with "." goes silently; an entry that
    // a pattern leaves out counts once, a directory for all below it.
    if (const std::optional<LeftOut> left = where_left_out(excluded_, path, is_directory)) {
        if (left->dotted)
            return {MemberVerdict::skip, path};
        counted_.insert(key_of(left->prefix));
        return {MemberVerdict::exclude, path};
    }
    if (is_directory)
        return {MemberVerdict::skip, path};
    if (!seen_.insert(key_of(path)).second)
        return failed(path, Problem::duplicate);
    switch (member.kind) {
    case MemberKind::symbolic_link:
        return failed(path, Problem::symbolic_link);
    case MemberKind::hard_link:
        return failed(path, Problem::hard_link);
    case MemberKind::other:
    case MemberKind::directory:
        return failed(path, Problem::not_regular);
    case MemberKind::regular:
        break;
    }
    MemberPlan plan{MemberVerdict::install, path};
    if (manifest_ != nullptr && (plan.digest = manifest_->digest_of(path)) == nullptr)
        return failed(path, Problem::not_in_manifest);
    return plan;
}
