#include "failure.h"

#include <array>
#include <cstring>

namespace {

struct ProblemText {
    const char* text;
    const char* code;
    bool whole; // the text says it all, with no step before it
};

// Indexed by Problem.
constexpr std::array<ProblemText, 17> PROBLEMS{{
    {"", "", false},
    {"a symbolic link", "symbolic_link", true},
    {"not a regular file", "not_regular", false},
    {"the update is the installed file itself", "same_file", false},
    {"the update changed during the install", "update_changed", true},
    {"not readable by others", "not_readable_by_others", true},
    {"the path leaves the dictionary", "leaves_dictionary", false},
    {"the update does not match its manifest", "hash_mismatch", true},
    {"not in the manifest", "not_in_manifest", true},
    {"listed in the manifest but missing", "missing", true},
    {"an unsafe name", "unsafe_name", true},
    {"a hard link", "hard_link", true},
    {"a second member of that name", "duplicate", true},
    {"the archive is damaged", "damaged_archive", true},
    {"the run lost its lock (another install may be running); the file is left for the next run",
     "lock_lost", true},
    {"stopped by a signal; the file is left for the next run", "stopped", true},
    {"larger than the dictionary's free space", "too_large", true},
}};

const ProblemText& text_of(Problem problem) {
    return PROBLEMS.at(static_cast<std::size_t>(problem));
}

} // namespace

std::string failure_reason(const Failure& failure) {
    const ProblemText& problem = text_of(failure.problem);
    if (problem.whole)
        return problem.text;
    std::string reason =
        update_failed(failure) ? "cannot open the update" : "writing the dictionary failed";
    if (failure.problem != Problem::none)
        reason.append(": ").append(problem.text);
    else if (failure.error != 0)
        reason.append(": ").append(std::strerror(failure.error));
    return reason;
}

std::string problem_reason(const Failure& failure) {
    if (failure.problem != Problem::none)
        return text_of(failure.problem).text;
    return failure.error != 0 ? std::strerror(failure.error) : "";
}

std::string failure_code(const Failure& failure) {
    if (failure.problem != Problem::none)
        return text_of(failure.problem).code;
    const char* name = failure.error != 0 ? strerrorname_np(failure.error) : nullptr;
    // Not "E" + ..., which GCC 12 warns of (PR 105329).
    return name != nullptr ? name : std::string("E").append(std::to_string(failure.error));
}
