#include "report.h"

#include "escaping.h"

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
    // A name that is not UTF-8 is shown with U+FFFD in place of each bad
    // byte, and also as its bytes, so that nothing of it is lost.
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
    summary["signed"] = run.signing.signed_by_key;
    summary["key_id"] = run.signing.signed_by_key ? Json(run.signing.key_id) : Json(nullptr);
    summary["serial"] = run.signing.serial ? Json(*run.signing.serial) : Json(nullptr);
    summary["name"] = run.signing.name.empty() ? Json(nullptr) : Json(run.signing.name);
    print_json(summary);
}

} // namespace

void report_summary(Format format, const Summary& summary) {
    if (format == Format::json)
        return print_json_summary(summary);
    const Counts& counts = summary.counts;
    const Signing& signing = summary.signing;
    std::string excluded;
    if (summary.show_excluded)
        excluded.append(", ").append(std::to_string(counts.excluded)).append(" excluded");
    std::string trust;
    const std::string release = signing.name.empty() ? "" : ", release " + signing.name;
    if (signing.signed_by_key)
        trust = ", signed by key " + signing.key_id + release + ", serial " +
                std::to_string(*signing.serial);
    else if (signing.manifest)
        trust = release + ", unsigned";
    std::printf("%zu files: %zu added, %zu updated, %zu current, %zu failed%s%s%s\n", summary.files,
                counts.added, counts.updated, counts.current, counts.failed, excluded.c_str(),
                trust.c_str(), summary.dry_run ? " (dry run)" : "");
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
