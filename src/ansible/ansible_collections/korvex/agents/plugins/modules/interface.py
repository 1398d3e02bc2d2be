# Copyright: 2026 Seed a7d80721 maintainers
# MIT License (see the collection's galaxy.yml)

DOCUMENTATION = r'''
---
module: interface
short_description: Bring a network interface up or down through the host's korvex agent
description:
  - Brings a network interface of the managed host up or down through its
    network agent (org.vaduderuvoziz.Network), which runs the host's
    interface scripts (C(ifup), C(ifdown)), by way of C(korvexctl) there.
  - Changes only an interface whose state differs; C(korvexctl) then waits
    until the agent reports the wanted state, for at most 10 seconds.
version_added: 0.1.0
author: Seed a7d80721 maintainers
requirements:
  - korvex (C(korvexctl) and the agents) on the managed host
options:
  name:
    description:
      - The interface, as C(korvexctl network list) shows it on the host.
    type: str
    required: true
  state:
    description:
      - Whether the interface should be up or down.
    type: str
    choices: [up, down]
    default: up
attributes:
  check_mode:
    support: full
  diff_mode:
    support: none
notes:
  - An interface the host does not have fails the task, and so does one
    that does not reach the wanted state in time; the message says why.
  - Every call is authorized by PolicyKit on the managed host for the user
    the task runs as; no password is asked for.
'''

EXAMPLES = r'''
- name: Bring up the storage network
  korvex.agents.interface:
    name: eth1
    state: up
'''

RETURN = r'''
name:
  description: The interface.
  returned: always
  type: str
  sample: eth1
state:
  description: The state the interface is in at the end, C(up) or C(down).
  returned: always
  type: str
  sample: up
'''

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.korvex.agents.plugins.module_utils.korvexctl import Korvexctl


def is_up(ctl, name):
    dummy, answer = ctl.answer('network', 'status', name)
    return answer['up']


def main():
    module = AnsibleModule(
        argument_spec=dict(
            name=dict(type='str', required=True),
            state=dict(type='str', default='up', choices=['up', 'down']),
        ),
        supports_check_mode=True,
    )
    name, state = module.params['name'], module.params['state']
    want_up = state == 'up'
    ctl = Korvexctl(module)
    result = dict(name=name, state=state, changed=is_up(ctl, name) != want_up)
    if not result['changed'] or module.check_mode:
        module.exit_json(**result)

    # korvexctl answers once the agent reports the wanted state, and fails
    # when it does not come in time.
    rc, dummy, why = ctl.run('network', 'start' if want_up else 'stop', name)
    if rc != 0:
        result['state'] = 'down' if want_up else 'up'
        module.fail_json(msg=why or 'korvexctl exited with status %d' % rc, rc=rc, **result)
    module.exit_json(**result)


if __name__ == '__main__':
    main()
