#!/usr/bin/python
# One look at a run started by orvpatch_run, on the host: it waits there, up
# to the look's own limit, for the run to end, and removes the ended run's
# record in the same go. The action plugin of the same name takes the looks
# from the controller, and tries again a look that could not reach the host.
from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r"""
module: orvpatch_wait
short_description: Follow a run of orvpatch to its end, through short losses of the connection
description:
  - Looks at a run started by M(varnel.orvpatch.orvpatch_run) until it has ended or I(seconds) have passed. Each look
    waits on the host up to I(poll) seconds for the run to end, so that a run is seen to end as soon as it does, in
    one round trip. A look that cannot reach the host is tried again I(poll) seconds later.
  - Once the run has ended, its record on the host is removed in the same look, and the run's own result is
    returned.
  - When the end could not be learned by then, returns C(outcome_unknown) (and C(lost_host) when the last look
    could not reach the host); the run is ended on the host by its own time limit in any case.
version_added: "1.0.0"
author: orvpatch developers
options:
  jid: {description: The run's id, as M(varnel.orvpatch.orvpatch_run) returned it., type: str, required: true}
  folder: {description: The package folder the run was started with., type: str, required: true}
  poll: {description: Seconds a look waits on the host at most (1 or more)., type: int, default: 5}
  seconds: {description: Seconds from the start after which the job is given up., type: int, required: true}
"""

EXAMPLES = r"""
- name: Wait for orvpatch to end
  varnel.orvpatch.orvpatch_wait:
    jid: "{{ started.jid }}"
    folder: /var/lib/orvpatch/B1240
    poll: 5
    seconds: 1865
  register: ran
"""

RETURN = r"""
finished: {description: 1 when the run was seen to end., returned: always, type: int}
jid: {description: The run's id., returned: always, type: str}
outcome_unknown: {description: Whether the end could not be learned., returned: always, type: bool}
looks:
  description: How many looks were taken, and how many of them could not reach the host.
  returned: always
  type: dict
rc:
  description: The patcher's exit status, as M(varnel.orvpatch.orvpatch_run) returns it with the rest of its result.
  returned: when finished
  type: int
"""

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.varnel.orvpatch.plugins.module_utils import orvpatch_job as job
from ansible_collections.varnel.orvpatch.plugins.module_utils.orvpatch_paths import unsafe_reason


def main():
    module = AnsibleModule(argument_spec=dict(jid=dict(type="str", required=True),
                                              folder=dict(type="str", required=True),
                                              poll=dict(type="int", default=5), seconds=dict(type="int", required=True),
                                              _wait=dict(type="float", default=0)))
    p = module.params
    reason = unsafe_reason(p["folder"])
    if reason is not None:
        module.fail_json(msg="the run %s cannot be followed: %s" % (p["jid"], reason), finished=0)
    try:
        ended = job.take(p["folder"], p["jid"], max(0.0, p["_wait"]))
    except (OSError, ValueError) as e:
        module.fail_json(msg="the run %s cannot be followed: %s" % (p["jid"], e), finished=0)
    if ended is None:
        module.exit_json(changed=False, finished=0)
    module.exit_json(**ended)


if __name__ == "__main__":
    main()
