// What a tree install prints on standard output: one line a file and a
// summary, in English or as JSON Lines.
#pragma once

#include "escaping.h"
#include "outcome.h"
#include "trust.h"
#include "verify.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

enum class Format { english, json };

struct Counts {
    std::size_t added = 0;
    std::size_t updated = 0;
    std::size_t current = 0;
    std::size_t failed = 0;
    std::size_t excluded = 0;
    bool changed = false; // a byte of the dictionary changed (in a dry run: would)
};

// Whether report_file prints a line for the result.
bool shows_line(bool quiet, const InstallResult& result);

// Counts a file's outcome and prints its line; with quiet, only a failure's.
void report_file(Format format, bool quiet, std::string_view path, const InstallResult& result,
                 Counts& counts);

// What a summary says of the tree's manifest: none; there, unsigned; or
// signed, by a key, with a serial.
struct Signing {
    bool manifest = false;
    bool signed_by_key = false;
    std::string key_id;
    std::optional<std::uint64_t> serial;
    std::string name; // the release line, "" for none
    // Reported by a verification, which takes an older or expired release.
    std::optional<std::int64_t> expired_at;
    std::optional<std::uint64_t> recorded_serial; // higher than the tree's
};

// A run's summary: its files, counted by outcome, and its manifest. The
// excluded ones are named in English only when some were asked for.
struct Summary {
    std::size_t files = 0;
    Counts counts;
    bool dry_run = false;
    bool show_excluded = false;
    Signing signing;
};

void report_summary(Format format, const Summary& summary);

// A verification's files, counted by state.
struct VerifyCounts {
    std::array<std::size_t, 5> by_state{}; // indexed by VerifyState
    std::size_t excluded = 0;
    [[nodiscard]] bool all_ok() const;
};

// Counts a verified file and prints its line; with quiet, only one that is
// not ok.
void report_verified(Format format, bool quiet, std::string_view path, const Verified& verified,
                     VerifyCounts& counts);

struct VerifySummary {
    std::size_t files = 0;
    VerifyCounts counts;
    bool show_excluded = false;
    Signing signing;
};
void report_verify_summary(Format format, const VerifySummary& summary);

// Prints the JSON line of a refused run: {"type":"error","error":message},
// and for a tree not trusted its error_code and key_id.
void report_refusal(const std::string& message, const Refusal& distrust = {});
