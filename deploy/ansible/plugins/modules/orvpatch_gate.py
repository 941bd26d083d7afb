#!/usr/bin/python
# The documentation of the action plugin plugins/action/orvpatch_gate.py,
# which does the work on the controller; this file is never sent to a host.
from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r"""
module: orvpatch_gate
short_description: Fail a host whose orvpatch outcome was refused or failed
description:
  - Fails the host when the C(status) of I(outcome) is one of I(failing), with the outcome's C(detail) and, when the
    outcome holds them, the C(lines) its run added to I(log).
  - A host whose outcome says it could not be reached (C(unreachable)) is tried once more first; when it still
    cannot be reached, it counts as unreachable, not failed.
  - Runs on the controller; only that second try reaches the host.
version_added: "1.0.0"
author: orvpatch developers
options:
  outcome:
    description: The host's outcome, C(status), C(detail), and optionally C(lines) and C(unreachable).
    type: dict
    required: true
  failing: {description: The outcomes that fail a host., type: list, elements: str, required: true}
  log: {description: The patcher's log file, named in the message., type: str, default: the log}
"""

EXAMPLES = r"""
- name: Fail the host that was refused or failed
  varnel.orvpatch.orvpatch_gate:
    outcome: "{{ orvpatch_outcome }}"
    failing: [refused, failed, outcome unknown]
    log: /opt/varnel/ORV/orvspins.log
"""

RETURN = r"""
msg:
  description: The outcome's detail, with the lines the run logged after it when there are some.
  returned: always
  type: raw
"""
