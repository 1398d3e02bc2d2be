# Copyright: 2026 Seed a7d80721 maintainers
# MIT License (see the collection's galaxy.yml)

DOCUMENTATION = r'''
---
module: facts
short_description: Gather what the host's korvex agents know about it
description:
  - Asks the agents of the managed host, through C(korvexctl) there, for
    the host's name and UUID, its network interfaces and the configuration
    keys that have a status, and returns them as facts.
version_added: 0.1.0
author: Seed a7d80721 maintainers
requirements:
  - korvex (C(korvexctl) and the agents) on the managed host
options: {}
attributes:
  check_mode:
    support: full
  diff_mode:
    support: none
  facts:
    support: full
notes:
  - The task fails when neither agent answers. When only one does, the
    facts it cannot give are empty and a warning says why.
  - C(korvex_keys) is left out where the host's C(korvexctl) cannot list
    the keys (older korvex).
'''

EXAMPLES = r'''
- name: Learn what korvex knows
  korvex.agents.facts:

- name: Show the interfaces that are down
  ansible.builtin.debug:
    msg: "{{ korvex_interfaces | selectattr('state', 'eq', 'down') | map(attribute='name') }}"
'''

RETURN = r'''
ansible_facts:
  description: The facts.
  returned: always
  type: complex
  contains:
    korvex_hostname:
      description: The host name the agents publish.
      type: str
      sample: web1
    korvex_uuid:
      description: The host's UUID, as the agents publish it.
      type: str
      sample: 4c4c4544-0042-3510-8052-b4c04f563532
    korvex_interfaces:
      description: Every interface the network agent lists, in its order.
      type: list
      elements: dict
      sample: [{name: eth0, state: up, ip: 192.0.2.10, mac: "52:54:00:12:34:56"}]
    korvex_keys:
      description:
        - Every configuration key with a status, with the first line of
          the status (C(OK), C(FAILED), C(ERROR)) as I(outcome) and the
          time of that status in Unix seconds as I(time).
      type: list
      elements: dict
      sample: [{key: ntp-server, outcome: OK, time: 1765330000}]
'''

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.korvex.agents.plugins.module_utils.korvexctl import Korvexctl

# korvexctl's exit status for an interface the host no longer has.
NO_SUCH_INTERFACE = 2


def interface(ctl, name, up):
    facts = dict(name=name, state='up' if up else 'down')
    for field in ('ip', 'mac'):
        rc, answer, why = ctl.run('network', field, name)
        if rc == NO_SUCH_INTERFACE:
            return None  # gone since the listing
        if rc != 0 or answer is None:
            ctl.module.fail_json(msg=why or 'korvexctl exited with status %d' % rc, rc=rc)
        facts[field] = answer[field]
    return facts


def main():
    module = AnsibleModule(argument_spec=dict(), supports_check_mode=True)
    ctl = Korvexctl(module)
    # korvexctl status exits with 0 while one agent answers, and says why
    # each of the others does not.
    rc, status, why = ctl.run('status')
    silent = ['the %s agent does not answer: %s' % (agent['agent'], agent['error'])
              for agent in (status or {}).get('agents', []) if not agent['answers']]
    if rc != 0 or status is None:
        module.fail_json(msg='\n'.join(silent) or why or 'korvexctl exited with status %d' % rc,
                         rc=rc)
    for warning in silent:
        module.warn(warning)
    found = (interface(ctl, item['name'], item['up']) for item in status['interfaces'])
    facts = dict(korvex_hostname=status['hostname'], korvex_uuid=status['uuid'],
                 korvex_interfaces=[item for item in found if item is not None])
    rc, listed, dummy = ctl.run('sysconfig', 'keys')
    if rc == 0 and listed is not None:
        facts['korvex_keys'] = [dict(key=item['key'], outcome=item['outcome'], time=item['when'])
                                for item in listed['keys']]
    module.exit_json(changed=False, ansible_facts=facts)


if __name__ == '__main__':
    main()
