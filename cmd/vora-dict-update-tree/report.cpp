#include "report.h"

#include "escaping.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>

namespace {

using Json = nlohmann::ordered_json;

bool failed(Outcome outcome) {
    return outcome == Outcome::failed;
}

void count(Outcome outcome, Counts& counts) {
    std::size_t* const by_outcome[] = {&counts.added, &counts.updated, &counts.current,
                                       &counts.failed};
    ++*by_outcome[static_cast<int>(outcome)];
}

// The versions behind an English line, where known: " (1.02 -> 1.03)".
std::string versions(const InstallResult& result) {
    const std::string installed = result.texts.installed_text.data();
    const std::string update = result.texts.update_text.data();
    if (result.same_contents)
        return " (same contents)";
    if (result.outcome == Outcome::current)
        return " (" + installed + ">=" + update + ")";
    if (result.outcome == Outcome::updated && !installed.empty() && !update.empty())
        return " (" + installed + " -> " + update + ")";
    return update.empty() ? "" : " (" + update + ")";
}

// Why a file failed, with what a library said, if anything.
std::string reason_of(const InstallResult& result) {
    const std::string reason = failure_reason(result.failure);
    return result.detail.empty() ? reason : reason + ": " + result.detail;
}

void print_json(const Json& object) {
    const std::string line = object.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n";
    (void)std::fwrite(line.data(), 1, line.size(), stdout);
}

// Prints object with the file's path bytes: a name that is not UTF-8 is
// shown with U+FFFD in place of each bad byte, and also as its bytes, so
// that nothing of it is lost.
void print_json_with_path(Json& object, std::string_view path) {
    const Json name(path);
    if (name.dump(-1, ' ', false, Json::error_handler_t::replace) !=
        name.dump(-1, ' ', false, Json::error_handler_t::ignore)) {
        Json bytes = Json::array();
        for (const char c : path)
            bytes.push_back(static_cast<unsigned char>(c));
        object["path_bytes"] = bytes;
    }
    print_json(object);
}

// A version text as JSON: null when unknown.
Json version_value(const VersionText& text) {
    return text[0] == '\0' ? Json(nullptr) : Json(text.data());
}

void print_json_file(std::string_view path, const InstallResult& result) {
    Json object;
    object["type"] = "file";
    object["path"] = path;
    object["result"] = outcome_word(result.outcome);
    object["installed"] = result.installed == Installed::unknown
                              ? Json(nullptr)
                              : Json(result.installed == Installed::present);
    object["installed_version"] = version_value(result.texts.installed_text);
    object["update_version"] = version_value(result.texts.update_text);
    object["changed"] = result.changed;
    object["error"] = failed(result.outcome) ? Json(reason_of(result)) : Json(nullptr);
    if (failed(result.outcome))
        object["error_code"] = failure_code(result.failure);
    print_json_with_path(object, path);
}

} // namespace

bool shows_line(bool quiet, const InstallResult& result) {
    return !quiet || failed(result.outcome);
}

void report_file(Format format, bool quiet, std::string_view path, const InstallResult& result,
                 Counts& counts) {
    count(result.outcome, counts);
    counts.changed = counts.changed || result.changed;
    if (!shows_line(quiet, result))
        return;
    if (format == Format::json)
        return print_json_file(path, result);
    const std::string line =
        std::string(outcome_word(result.outcome)) + " " + escaped(path) +
        (failed(result.outcome) ? ": " + escaped(reason_of(result)) : versions(result)) + "\n";
    (void)std::fwrite(line.data(), 1, line.size(), stdout);
}

namespace {

// What an English summary says of the manifest: ", signed by key ...".
std::string trust_text(const Signing& signing) {
    const std::string release = signing.name.empty() ? "" : ", release " + signing.name;
    if (signing.signed_by_key)
        return ", signed by key " + signing.key_id + release + ", serial " +
               std::to_string(*signing.serial);
    return signing.manifest ? release + ", unsigned" : "";
}

void add_signing(Json& summary, const Signing& signing) {
    summary["signed"] = signing.signed_by_key;
    summary["key_id"] = signing.signed_by_key ? Json(signing.key_id) : Json(nullptr);
    summary["serial"] = signing.serial ? Json(*signing.serial) : Json(nullptr);
    summary["name"] = signing.name.empty() ? Json(nullptr) : Json(signing.name);
}

void print_json_summary(const Summary& run) {
    const Counts& counts = run.counts;
    Json summary;
    summary["type"] = "summary";
    summary["files"] = run.files;
    summary["added"] = counts.added;
    summary["updated"] = counts.updated;
    summary["current"] = counts.current;
    summary["failed"] = counts.failed;
    summary["excluded"] = counts.excluded;
    summary["changed"] = counts.changed;
    summary["dry_run"] = run.dry_run;
    add_signing(summary, run.signing);
    print_json(summary);
}

} // namespace

void report_summary(Format format, const Summary& summary) {
    if (format == Format::json)
        return print_json_summary(summary);
    const Counts& counts = summary.counts;
    std::string excluded;
    if (summary.show_excluded)
        excluded.append(", ").append(std::to_string(counts.excluded)).append(" excluded");
    std::printf("%s: %zu added, %zu updated, %zu current, %zu failed%s%s%s\n",
                files_text(summary.files).c_str(), counts.added, counts.updated, counts.current,
                counts.failed, excluded.c_str(), trust_text(summary.signing).c_str(),
                summary.dry_run ? " (dry run)" : "");
}

void report_refusal(const std::string& message, const Refusal& distrust) {
    Json line;
    line["type"] = "error";
    line["error"] = message;
    if (distrust.refused()) {
        line["error_code"] = distrust_code(distrust.why);
        line["key_id"] = distrust.key_id.empty() ? Json(nullptr) : Json(distrust.key_id);
    }
    print_json(line);
}

bool VerifyCounts::all_ok() const {
    return std::all_of(by_state.begin() + 1, by_state.end(),
                       [](std::size_t count) { return count == 0; });
}

namespace {

// Why a file could not be verified: the update's failure as the install
// words it, the installed copy's alone; files that damage kept from being
// reached say so.
std::string verify_reason(const Failure& failure) {
    if (failure.problem == Problem::damaged_archive)
        return "damaged archive";
    return update_failed(failure) ? failure_reason(failure) : problem_reason(failure);
}

// How a modified copy's version stands to the update's, where both are
// known and differ: "older: 1.02 < 1.03", "newer: 1.04 > 1.03".
std::string version_detail(const Verified& verified) {
    if (verified.state != VerifyState::modified || verified.installed == 0 ||
        verified.update == 0 || verified.installed == verified.update)
        return "";
    const std::string installed = verified.texts.installed_text.data();
    const std::string update = verified.texts.update_text.data();
    return verified.installed < verified.update ? "older: " + installed + " < " + update
                                                : "newer: " + installed + " > " + update;
}

std::string verify_detail(const Verified& verified) {
    return verified.state == VerifyState::failed ? verify_reason(verified.failure)
                                                 : version_detail(verified);
}

void print_json_verified(std::string_view path, const Verified& verified) {
    Json object;
    object["type"] = "file";
    object["path"] = path;
    object["state"] = verify_word(verified.state);
    object["installed_version"] = version_value(verified.texts.installed_text);
    object["update_version"] = version_value(verified.texts.update_text);
    const std::string detail = verify_detail(verified);
    object["detail"] = detail.empty() ? Json(nullptr) : Json(detail);
    if (verified.state == VerifyState::failed)
        object["error_code"] = failure_code(verified.failure);
    print_json_with_path(object, path);
}

// What a verification's summary adds of the release it verified against:
// that it is past its expiry, or older than the one recorded.
std::string staleness_text(const Signing& signing) {
    std::string stale;
    if (signing.expired_at)
        stale = "expired at " + utc_text(*signing.expired_at);
    if (signing.recorded_serial)
        stale.append(stale.empty() ? "" : ", ")
            .append("older than serial " + std::to_string(*signing.recorded_serial) + " recorded");
    return stale.empty() ? "" : " (" + stale + ")";
}

void print_json_verify_summary(const VerifySummary& run) {
    Json summary;
    summary["type"] = "summary";
    summary["files"] = run.files;
    for (std::size_t state = 0; state < run.counts.by_state.size(); ++state)
        summary[std::string(verify_word(static_cast<VerifyState>(state)))] =
            run.counts.by_state.at(state);
    summary["excluded"] = run.counts.excluded;
    add_signing(summary, run.signing);
    summary["expired"] = run.signing.expired_at.has_value();
    summary["recorded_serial"] =
        run.signing.recorded_serial ? Json(*run.signing.recorded_serial) : Json(nullptr);
    print_json(summary);
}

} // namespace

void report_verified(Format format, bool quiet, std::string_view path, const Verified& verified,
                     VerifyCounts& counts) {
    ++counts.by_state.at(static_cast<std::size_t>(verified.state));
    if (quiet && verified.state == VerifyState::ok)
        return;
    if (format == Format::json)
        return print_json_verified(path, verified);
    const std::string detail = verify_detail(verified);
    const std::string line = std::string(verify_word(verified.state)) + " " + escaped(path) +
                             (detail.empty()                          ? ""
                              : verified.state == VerifyState::failed ? ": " + escaped(detail)
                                                                      : " (" + detail + ")") +
                             "\n";
    (void)std::fwrite(line.data(), 1, line.size(), stdout);
}

void report_verify_summary(Format format, const VerifySummary& summary) {
    if (format == Format::json)
        return print_json_verify_summary(summary);
    const auto& counts = summary.counts.by_state;
    std::string excluded;
    if (summary.show_excluded)
        excluded.append(", ").append(std::to_string(summary.counts.excluded)).append(" excluded");
    std::printf("%s: %zu ok, %zu modified, %zu missing, %zu marked, %zu failed%s%s%s\n",
                files_text(summary.files).c_str(), counts[0], counts[1], counts[2], counts[3],
                counts[4], excluded.c_str(), trust_text(summary.signing).c_str(),
                staleness_text(summary.signing).c_str());
}
