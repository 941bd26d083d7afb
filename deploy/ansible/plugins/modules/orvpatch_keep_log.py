#!/usr/bin/python
# The documentation of the action plugin plugins/action/orvpatch_keep_log.py,
# which does the work on the controller; this file is never sent to a host.
from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r"""
module: orvpatch_keep_log
short_description: Keep the lines a run of orvpatch logged in a file on the controller
description:
  - Writes the lines, as they came back in the result of M(varnel.orvpatch.orvpatch_run), into a new file on the
    controller. It runs on the controller alone, with no round trip to the host.
version_added: "1.0.0"
author: orvpatch developers
options:
  folder: {description: Folder on the controller (~ allowed); made when missing., type: str, required: true}
  name:
    description: File name; a run within the same second gets -2, -3, ... before the extension.
    type: str
    required: true
  lines: {description: The lines., type: list, elements: str, default: []}
"""

EXAMPLES = r"""
- name: Keep the lines the run added to the log on the controller
  varnel.orvpatch.orvpatch_keep_log:
    folder: ~/orvpatch-logs/{{ inventory_hostname }}
    name: update-B1240-20261209T030000Z.log
    lines: "{{ ran.log_lines }}"
"""

RETURN = r"""
path: {description: The file written., returned: success, type: str, sample: /root/orvpatch-logs/dom1/update-B1240-20261209T030000Z.log}
"""
