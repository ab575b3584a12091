# -*- coding: utf-8 -*-
# Copyright: (c) 2026, vora-dict-update developers
# MIT License (see https://opensource.org/licenses/MIT)
#
# No "#!" line: Ansible runs a module without one as it runs one that names
# /usr/bin/python, with the interpreter that it finds on the host, and
# Debian has no /usr/bin/python.

from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r"""
---
module: vora_dict_update
short_description: Install a tree of vora dictionary update files
description:
  - Installs every file of an update tree, or every member of a publisher's archive,
    below C(/usr/local/share/vora/Dictionary)
    with C(vora-dict-update-tree), which skips files whose installed copy is at
    least as new (or already holds the same bytes), and reports each file.
  - Reports C(changed) only when a byte of the dictionary changed, so a second
    run over the same tree changes nothing.
  - Once a publisher's key is trusted on the host, installs only a tree that it signed,
    and refuses an older signed tree unless C(allow_rollback) is set.
  - Supports check mode, which runs C(vora-dict-update-tree --dry-run), and diff
    mode, which shows each changed file's versions before and after.
  - With C(verify), changes nothing and checks instead that each installed file is
    what the tree or archive installs there (C(vora-dict-update-tree --verify));
    the task fails when any file is not.
options:
  src:
    description:
      - The update tree, laid out as the dictionary is, or a publisher's tar archive of one
        (plain, or compressed with gzip, xz or zstd), installed without being unpacked.
        It must not be empty, nor C(-) (standard input is not the controller's to give).
    type: path
    required: true
  verify:
    description:
      - Compare the installed copy of each file with what C(src) installs there, and change
        nothing; each file's C(state) is C(ok), C(modified), C(missing), C(marked) (left by an
        interrupted install) or C(failed). It takes none of C(force), C(allow_rollback) and
        C(allow_expired). A signed tree's signature is checked, but an older or expired release
        may be verified against.
    type: bool
    default: false
  force:
    description: Install every file whatever the versions say, to roll a host back.
    type: bool
    default: false
  exclude:
    description: Shell wildcard patterns of names or relative paths to leave out.
    type: list
    elements: str
    default: []
  allow_rollback:
    description:
      - Install a signed tree whose serial is lower than the one recorded for its key, to
        roll a host back to an older signed release.
    type: bool
    default: false
  allow_expired:
    description: Install a signed tree past its manifest's expiry.
    type: bool
    default: false
  key:
    description:
      - Minisign public key files to trust for this run, beside those in
        C(/etc/vora-dict-update/trusted-keys).
    type: list
    elements: path
    default: []
  name:
    description:
      - The release line to accept alone (letters, digits, C(.), C(-) and C(_)); a tree whose
        manifest names another line, or none, is refused. Recommended on fleets, one task a line,
        where a publisher signs several trees with one key.
    type: str
  wait:
    description:
      - Seconds to wait for another install that holds the lock before failing;
        0 fails at once. By default the module waits until it ends.
    type: float
requirements:
  - vora-dict-update-tree (package vora-dict-update), in the PATH or an sbin directory
attributes:
  check_mode:
    description: A dry run, which changes nothing and reports what a real run would do.
    support: full
  diff_mode:
    description: Each changed file's versions before and after.
    support: full
author:
  - vora-dict-update developers (@vora-dict-update)
"""

EXAMPLES = r"""
- name: Install the dictionary updates
  vora.dictionary.vora_dict_update:
    src: /srv/dictionary-updates
    exclude: ["*~", "*.orig"]
    wait: 300

- name: Install a publisher's signed release straight from its archive
  vora.dictionary.vora_dict_update:
    src: /srv/releases/release-7.tar.zst
    name: base
    key: [/srv/keys/publisher.pub]

- name: Roll back to the previous release
  vora.dictionary.vora_dict_update:
    src: /srv/dictionary-updates-1.02
    force: true
    allow_rollback: true

- name: Check that what is installed is what was shipped
  vora.dictionary.vora_dict_update:
    src: /srv/releases/release-7.tar.zst
    name: base
    verify: true
"""

RETURN = r"""
rc:
  description: The exit status of vora-dict-update-tree (0 when no file failed, or with C(verify)
    when every file is ok; 1 when any did not; 2 when the run was refused).
  returned: always
  type: int
  sample: 0
summary:
  description:
    - The counts of the run, as vora-dict-update-tree --json prints them; in
      check mode, what a real run would do.
  returned: when the run was not refused
  type: dict
  sample: {"type": "summary", "files": 1, "added": 1, "updated": 0, "current": 0, "failed": 0,
           "excluded": 0, "changed": true, "dry_run": false, "signed": true,
           "key_id": "2F2821557C8EE94D", "serial": 2026120901, "name": "base"}
signed:
  description: Whether the tree was signed by a trusted key.
  returned: when the run was not refused
  type: bool
  sample: true
key_id:
  description: The key ID of the trusted key that signed the tree, in 16 hexadecimal digits.
  returned: when the run was not refused
  type: str
  sample: 2F2821557C8EE94D
serial:
  description: The serial of the tree's manifest; null without one.
  returned: when the run was not refused
  type: int
  sample: 2026120901
name:
  description: The release line that the tree's manifest names; null for none.
  returned: when the run was not refused
  type: str
  sample: base
files:
  description: One record a file, as vora-dict-update-tree --json prints it (with C(verify), its
    C(state)); empty when the run was refused or could not start.
  returned: always
  type: list
  elements: dict
  sample:
    - {"type": "file", "path": "base/words.ejd", "result": "added", "installed": false,
       "installed_version": null, "update_version": "1.03", "changed": true, "error": null}
    - {"type": "file", "path": "base/words.ejd", "state": "modified", "installed_version": "1.02",
       "update_version": "1.03", "detail": "older: 1.02 < 1.03"}
"""

import json

from ansible.module_utils.basic import AnsibleModule


def seconds_text(seconds):
    """Seconds as the tool takes them: digits, and a fraction only when there is one."""
    text = "%.6f" % seconds
    return text.rstrip("0").rstrip(".")


def command_line(module, tree):
    params = module.params
    command = [tree, "--json"]
    if params["verify"]:
        command.append("--verify")
    elif module.check_mode:
        command.append("--dry-run")
    for option in ("force", "allow_rollback", "allow_expired"):
        if params[option]:
            command.append("--" + option.replace("_", "-"))
    for pattern in params["exclude"]:
        command.append("--exclude=" + pattern)
    for key in params["key"]:
        command.append("--key=" + key)
    if params["name"] is not None:
        command.append("--name=" + params["name"])
    if params["wait"] is not None:
        command.append("--wait=" + seconds_text(params["wait"]))
    command += ["--", params["src"]]
    return command


def version_text(version):
    return "version: %s\n" % version if version is not None else "no version\n"


def file_diffs(files):
    """Each changed file's versions before and after, for diff mode."""
    return [dict(before_header=record["path"], after_header=record["path"],
                 before=version_text(record["installed_version"]) if record["installed"] else "",
                 after=version_text(record["update_version"]))
            for record in files if record["changed"] and record["result"] != "failed"]


def refuse_early(module):
    """Fails the task on arguments that the tool must not get."""
    params = module.params
    if not params["src"]:
        module.fail_json(msg="src is empty: it must name the update tree", rc=2, files=[])
    if params["src"] == "-":
        module.fail_json(msg='src is "-": name the update tree or archive on the host', rc=2,
                         files=[])
    if params["wait"] is not None and params["wait"] < 0:
        module.fail_json(msg="wait must not be negative", rc=2, files=[])
    if params["verify"] and (params["force"] or params["allow_rollback"] or
                             params["allow_expired"]):
        module.fail_json(msg="verify changes nothing: it takes no force, allow_rollback or "
                             "allow_expired", rc=2, files=[])


def read_lines(module, rc, out, err):
    """The tool's JSON Lines: the files, the summary and the errors."""
    files, summary, errors = [], None, []
    for line in out.splitlines():
        try:
            record = json.loads(line)
        except ValueError:
            module.fail_json(msg="vora-dict-update-tree printed a line that is not JSON: %s" % line,
                             rc=rc, stdout=out, stderr=err, files=[])
        kind = record.get("type")
        if kind == "file":
            files.append(record)
        elif kind == "summary":
            summary = record
        elif kind == "error":
            errors.append(record.get("error"))
    if errors or summary is None:
        reason = "; ".join(errors) or err.strip() or "exit status %d" % rc
        module.fail_json(msg="vora-dict-update-tree refused the run: %s" % reason,
                         rc=rc, stderr=err, files=files)
    return files, summary


def files_text(count):
    return "%d file%s" % (count, "" if count == 1 else "s")


def verified(module, result, err):
    """Ends a verification: it fails when any file is not ok."""
    summary, files = result["summary"], result["files"]
    bad = [record for record in files if record["state"] != "ok"]
    if bad or result["rc"] != 0:
        counts = ", ".join("%d %s" % (summary[state], state)
                           for state in ("modified", "missing", "marked", "failed")
                           if summary.get(state))
        named = "; ".join("%s: %s" % (record["path"], record["detail"] or record["state"])
                          for record in bad)
        message = "%d of %s not ok (%s): %s" % (len(bad), files_text(summary["files"]), counts,
                                                named or err.strip())
        module.fail_json(msg=message, stderr=err, **result)
    module.exit_json(**result)


def installed(module, result, err):
    """Ends an install: it fails when any file failed."""
    summary, files = result["summary"], result["files"]
    if module._diff:
        result["diff"] = file_diffs(files)
    failures = [record for record in files if record["result"] == "failed"]
    if failures or result["rc"] != 0:
        named = "; ".join("%s: %s" % (record["path"], record["error"]) for record in failures)
        message = "%d of %s failed: %s" % (len(failures), files_text(summary["files"]),
                                           named or err.strip())
        module.fail_json(msg=message, stderr=err, **result)
    module.exit_json(**result)


def main():
    module = AnsibleModule(
        argument_spec=dict(
            src=dict(type="path", required=True),
            verify=dict(type="bool", default=False),
            force=dict(type="bool", default=False),
            allow_rollback=dict(type="bool", default=False),
            allow_expired=dict(type="bool", default=False),
            exclude=dict(type="list", elements="str", default=[]),
            key=dict(type="list", elements="path", default=[], no_log=False),
            name=dict(type="str"),
            wait=dict(type="float"),
        ),
        supports_check_mode=True,
    )
    refuse_early(module)
    tree = module.get_bin_path("vora-dict-update-tree", opt_dirs=["/usr/sbin", "/usr/local/sbin"])
    if tree is None:
        module.fail_json(msg="vora-dict-update-tree was not found: install the package "
                             "vora-dict-update", rc=2, files=[])
    rc, out, err = module.run_command(command_line(module, tree))
    files, summary = read_lines(module, rc, out, err)
    result = dict(changed=bool(summary.get("changed", False)), summary=summary, files=files, rc=rc,
                  signed=summary.get("signed"), key_id=summary.get("key_id"),
                  serial=summary.get("serial"), name=summary.get("name"))
    if module.params["verify"]:
        verified(module, result, err)
    installed(module, result, err)


if __name__ == "__main__":
    main()
