// The tool's messages as the tests expect them: written here in UTF-8 and
// converted to EUC-JP by iconv, independently of the tool's own table.
#pragma once

#include "test_files.h"

#include <string>

namespace testing_support {

inline std::string need_root() {
    return euc_jp("rootでログインしてから実行してください。\n");
}
inline std::string usage(const std::string& program) {
    return "Usage: " + program + " ejd_dict_file\n";
}
inline std::string already_current(const std::string& name, const std::string& installed,
                                   const std::string& update) {
    return euc_jp(name + " は既に更新されています。(" + installed + ">=" + update + ")\n");
}
inline std::string cannot_open_update() {
    return euc_jp("辞書差分データを開けません。\n");
}
inline std::string write_failed() {
    return euc_jp("辞書の書き込みに失敗しました。\n");
}
inline std::string updated(const std::string& name) {
    return euc_jp(name + " が更新されました。\n");
}
inline std::string added(const std::string& name) {
    return euc_jp(name + " が新規に追加されました。\n");
}

// A plain dictionary file: a header with the given version line, then body.
inline std::string dictionary(const std::string& version_line, const std::string& body = "") {
    return "NAME\ttest-words\n" + version_line + "\nDGD_END\n" + body;
}

} // namespace testing_support
