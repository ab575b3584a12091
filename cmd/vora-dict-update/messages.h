// The tool's messages, one of which ends every run. The Japanese texts are
// written as EUC-JP bytes so that neither the source encoding nor the
// user's locale can change what reaches standard output.
#pragma once

// rootでログインしてから実行してください。: log in as root, then run this
inline constexpr char msg_need_root[] =
    "root\xa4\xc7\xa5\xed\xa5\xb0\xa5\xa4\xa5\xf3\xa4\xb7\xa4\xc6\xa4\xab\xa4\xe9\xbc\xc2\xb9\xd4"
    "\xa4\xb7\xa4\xc6\xa4\xaf\xa4\xc0\xa4\xb5\xa4\xa4\xa1\xa3\n";

// Usage: %s ejd_dict_file: usage line; argument: the program name as invoked
inline constexpr char msg_usage[] = "Usage: %s ejd_dict_file\n";

// %s は既に更新されています。(%s>=%s): %s has already been updated (installed>=update); arguments:
// file name, installed version, update version
inline constexpr char msg_already_current[] =
    "%s "
    "\xa4\xcf\xb4\xfb\xa4\xcb\xb9\xb9\xbf\xb7\xa4\xb5\xa4\xec\xa4\xc6\xa4\xa4\xa4\xde\xa4\xb9\xa1"
    "\xa3(%s>=%s)\n";

// 辞書差分データを開けません。: cannot open the dictionary difference data
inline constexpr char msg_cannot_open_update[] =
    "\xbc\xad\xbd\xf1\xba\xb9\xca\xac\xa5\xc7\xa1\xbc\xa5\xbf\xa4\xf2\xb3\xab\xa4\xb1\xa4\xde\xa4"
    "\xbb\xa4\xf3\xa1\xa3\n";

// 辞書の書き込みに失敗しました。: writing the dictionary failed
inline constexpr char msg_write_failed[] =
    "\xbc\xad\xbd\xf1\xa4\xce\xbd\xf1\xa4\xad\xb9\xfe\xa4\xdf\xa4\xcb\xbc\xba\xc7\xd4\xa4\xb7\xa4"
    "\xde\xa4\xb7\xa4\xbf\xa1\xa3\n";

// %s が更新されました。: %s has been updated; argument: file name
inline constexpr char msg_updated[] =
    "%s \xa4\xac\xb9\xb9\xbf\xb7\xa4\xb5\xa4\xec\xa4\xde\xa4\xb7\xa4\xbf\xa1\xa3\n";

// %s が新規に追加されました。: %s has been newly added; argument: file name
inline constexpr char msg_added[] = "%s "
                                    "\xa4\xac\xbf\xb7\xb5\xac\xa4\xcb\xc4\xc9\xb2\xc3\xa4\xb5\xa4"
                                    "\xec\xa4\xde\xa4\xb7\xa4\xbf\xa1\xa3\n";
