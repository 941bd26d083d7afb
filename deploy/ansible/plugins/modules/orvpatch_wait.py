#!/usr/bin/python
# The documentation of the action plugin plugins/action/orvpatch_wait.py,
# which does the work from the controller; this file is never sent to a host.
from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r"""
module: orvpatch_wait
short_description: Follow an async run of orvpatch to its end, through short losses of the connection
description:
  - Looks at the async job right away, then every I(poll) seconds, with C(async_status), until it has ended or
    I(seconds) have passed since it started. A look that cannot reach the host is tried again at the next one.
  - Once the job has ended, its job file on the host is removed, and the job's own result is returned.
  - When the end could not be learned by then, returns C(outcome_unknown) (and C(lost_host) when the last look
    could not reach the host); the run is ended on the host by its own time limit in any case.
version_added: "1.0.0"
author: orvpatch developers
options:
  jid: {description: The async job id., type: str, required: true}
  poll: {description: Seconds between two looks (1 or more)., type: int, default: 5}
  seconds: {description: Seconds from the start after which the job is given up., type: int, required: true}
"""

EXAMPLES = r"""
- name: Wait for orvpatch to end
  varnel.orvpatch.orvpatch_wait:
    jid: "{{ started.ansible_job_id }}"
    poll: 5
    seconds: 1865
  register: ran
"""

RETURN = r"""
finished: {description: 1 when the job was seen to end., returned: always, type: int}
outcome_unknown: {description: Whether the end could not be learned., returned: always, type: bool}
looks:
  description: How many looks were taken, and how many of them could not reach the host.
  returned: always
  type: dict
rc:
  description: The patcher's exit status, as M(varnel.orvpatch.orvpatch_run) returned it.
  returned: when finished
  type: int
"""
