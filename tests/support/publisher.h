// A publisher's tools as the tests use them: minisign's key pair and
// signature, and vora-dict-manifest over an update tree; and the
// administrator's step of trusting the key.
#pragma once

#include "sandbox.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <string>

namespace testing_support {

// The system's own command, as a publisher or an administrator would run it.
inline int shell(const std::string& command) {
    return std::system(command.c_str()); // NOLINT(cert-env33-c)
}

// A publisher's key pair, made by minisign in dir, and its key ID.
struct Publisher {
    std::string secret;
    std::string public_key;
    std::string id;

    Publisher(const std::string& dir, const std::string& name)
        : secret(dir + "/" + name + ".sec"), public_key(dir + "/" + name + ".pub") {
        EXPECT_EQ(shell("minisign -G -W -p " + public_key + " -s " + secret + " >/dev/null"), 0);
        // minisign's comment drops the ID's leading zeros, which the tool prints.
        const std::string text = read_file(public_key);
        id = text.substr(text.find("key ") + 4);
        id = std::string(16 - id.find('\n'), '0') + id.substr(0, id.find('\n'));
    }
    // minisign -Sm over the tree's manifest, with more arguments.
    void sign(const std::string& tree, const std::string& more = "") const {
        EXPECT_EQ(shell("minisign -S -s " + secret + " -m " + tree + "/.vora-manifest " + more +
                        " >/dev/null"),
                  0);
    }
    // The administrator's step: the key among the trusted ones.
    void trust(const std::string& as = "publisher.pub") const {
        make_parents(std::string(TRUSTED_KEYS) + "/");
        // Beside the keys, a file that is none: only *.pub files are keys.
        write_file(std::string(TRUSTED_KEYS) + "/README", "the publishers' keys\n");
        write_file(std::string(TRUSTED_KEYS) + "/" + as, read_file(public_key));
    }
};

// vora-dict-manifest over the sandbox's update tree, with more arguments.
inline int manifest_of(const Sandbox& box, const std::string& more = "") {
    return shell(std::string(VDU_MANIFEST) + " " + more + " " + box.updates() + " >/dev/null");
}

} // namespace testing_support
