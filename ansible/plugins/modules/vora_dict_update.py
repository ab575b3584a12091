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
options:
  src:
    description:
      - The update tree, laid out as the dictionary is, or a publisher's tar archive of one
        (plain, or compressed with gzip, xz or zstd), installed without being unpacked.
        It must not be empty.
    type: path
    required: true
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
  vora_dict_update:
    src: /srv/dictionary-updates
    exclude: ["*~", "*.orig"]
    wait: 300

- name: Install a publisher's signed release straight from its archive
  vora_dict_update:
    src: /srv/releases/release-7.tar.zst

- name: Roll back to the previous release
  vora_dict_update:
    src: /srv/dictionary-updates-1.02
    force: true
"""

RETURN = r"""
rc:
  description: The exit status of vora-dict-update-tree (0 when no file failed, 1 when any did, 2 when
    the run was refused).
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
           "key_id": "2F2821557C8EE94D", "serial": 2026120901}
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
files:
  description: One record a file, as vora-dict-update-tree --json prints it; empty when the run was
    refused.
  returned: always
  type: list
  elements: dict
  sample:
    - {"type": "file", "path": "base/words.ejd", "result": "added", "installed": false,
       "installed_version": null, "update_version": "1.03", "changed": true, "error": null}
"""

import json

from ansible.module_utils.basic import AnsibleModule


def command_line(module, tree):
    params = module.params
    command = [tree, "--json"]
    if module.check_mode:
        command.append("--dry-run")
    if params["force"]:
        command.append("--force")
    if params["allow_rollback"]:
        command.append("--allow-rollback")
    for pattern in params["exclude"]:
        command.append("--exclude=" + pattern)
    if params["wait"] is not None:
        command.append("--wait=%r" % params["wait"])
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


def main():
    module = AnsibleModule(
        argument_spec=dict(
            src=dict(type="path", required=True),
            force=dict(type="bool", default=False),
            allow_rollback=dict(type="bool", default=False),
            exclude=dict(type="list", elements="str", default=[]),
            wait=dict(type="float"),
        ),
        supports_check_mode=True,
    )
    if not module.params["src"]:
        module.fail_json(msg="src is empty: it must name the update tree", rc=2, files=[])
    if module.params["wait"] is not None and module.params["wait"] < 0:
        module.fail_json(msg="wait must not be negative", rc=2, files=[])
    tree = module.get_bin_path("vora-dict-update-tree", required=True)
    rc, out, err = module.run_command(command_line(module, tree))

    files, summary, errors = [], None, []
    for line in out.splitlines():
        try:
            record = json.loads(line)
        except ValueError:
            module.fail_json(msg="vora-dict-update-tree printed a line that is not JSON: %s" % line,
                             rc=rc, stdout=out, stderr=err, files=files)
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

    result = dict(changed=bool(summary["changed"]), summary=summary, files=files, rc=rc,
                  signed=summary.get("signed"), key_id=summary.get("key_id"),
                  serial=summary.get("serial"))
    if module._diff:
        result["diff"] = file_diffs(files)
    failures = [record for record in files if record["result"] == "failed"]
    if failures or rc != 0:
        named = "; ".join("%s: %s" % (record["path"], record["error"]) for record in failures)
        module.fail_json(msg="%d of %d files failed: %s" % (len(failures), summary["files"],
                                                            named or err.strip()),
                         stderr=err, **result)
    module.exit_json(**result)


if __name__ == "__main__":
    main()
