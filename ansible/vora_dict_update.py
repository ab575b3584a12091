# -*- coding: utf-8 -*-
# Copyright (c) 2026 vora-dict-update developers
# MIT License (see /usr/share/doc/vora-dict-update/copyright)
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
  - Installs every file of an update tree below C(/usr/local/share/vora/Dictionary)
    with C(vora-dict-update-tree), which skips files whose installed copy is at
    least as new (or already holds the same bytes), and reports each file.
  - Reports C(changed) only when a byte of the dictionary changed, so a second
    run over the same tree changes nothing.
  - Supports check mode, which runs C(vora-dict-update-tree --dry-run).
options:
  src:
    description: The update tree, laid out as the dictionary is.
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
  wait:
    description:
      - Seconds to wait for another install that holds the lock before failing;
        0 fails at once. By default the module waits until it ends.
    type: float
requirements:
  - vora-dict-update-tree (package vora-dict-update), in the PATH or an sbin directory
author:
  - vora-dict-update developers
"""

EXAMPLES = r"""
- name: Install the dictionary updates
  vora_dict_update:
    src: /srv/dictionary-updates
    exclude: ["*~", "*.orig"]
    wait: 300

- name: Roll back to the previous release
  vora_dict_update:
    src: /srv/dictionary-updates-1.02
    force: true
"""

RETURN = r"""
summary:
  description:
    - The counts of the run, as vora-dict-update-tree --json prints them; in
      check mode, what a real run would do.
  returned: when the run was not refused
  type: dict
  sample: {"type": "summary", "files": 1, "added": 1, "updated": 0, "current": 0, "failed": 0,
           "excluded": 0, "changed": true, "dry_run": false}
files:
  description: One record a file, as vora-dict-update-tree --json prints it.
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
    for pattern in params["exclude"]:
        command.append("--exclude=" + pattern)
    if params["wait"] is not None:
        command.append("--wait=%r" % params["wait"])
    command += ["--", params["src"]]
    return command


def main():
    module = AnsibleModule(
        argument_spec=dict(
            src=dict(type="path", required=True),
            force=dict(type="bool", default=False),
            exclude=dict(type="list", elements="str", default=[]),
            wait=dict(type="float"),
        ),
        supports_check_mode=True,
    )
    if module.params["wait"] is not None and module.params["wait"] < 0:
        module.fail_json(msg="wait must not be negative")
    tree = module.get_bin_path("vora-dict-update-tree", required=True)
    rc, out, err = module.run_command(command_line(module, tree))

    files, summary, errors = [], None, []
    for line in out.splitlines():
        try:
            record = json.loads(line)
        except ValueError:
            module.fail_json(msg="vora-dict-update-tree printed a line that is not JSON: %s" % line,
                             rc=rc, stdout=out, stderr=err)
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

    result = dict(changed=bool(summary["changed"]), summary=summary, files=files, rc=rc)
    failures = [record for record in files if record["result"] == "failed"]
    if failures or rc != 0:
        named = "; ".join("%s: %s" % (record["path"], record["error"]) for record in failures)
        module.fail_json(msg="%d of %d files failed: %s" % (len(failures), summary["files"],
                                                            named or err.strip()),
                         stderr=err, **result)
    module.exit_json(**result)


if __name__ == "__main__":
    main()
