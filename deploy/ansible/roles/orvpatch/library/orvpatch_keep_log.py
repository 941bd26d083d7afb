#!/usr/bin/python
# The documentation of the action plugin action_plugins/orvpatch_keep_log.py,
# which does the work on the controller; this file is never sent to a host.
DOCUMENTATION = r"""
module: orvpatch_keep_log
short_description: Keep the lines a run of orvpatch logged in a file on the controller
options:
  folder: {description: Folder on the controller (~ allowed); made when missing., type: str, required: true}
  name: {description: File name; a run within the same second gets -2, -3, ... before the extension., type: str, required: true}
  lines: {description: The lines., type: list, elements: str, default: []}
"""
