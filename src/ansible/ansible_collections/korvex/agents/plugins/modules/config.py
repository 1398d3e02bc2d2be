# Copyright: 2026 Seed a7d80721 maintainers
# MIT License (see the collection's galaxy.yml)

DOCUMENTATION = r'''
---
module: config
short_description: Apply a configuration document through the host's korvex agent
description:
  - Hands an augeas script or a puppet manifest to the system-configuration
    agent of the managed host (org.vaduderuvoziz.Sysconfig) through
    C(korvexctl) there.
  - Idempotent by the host's own dry run. The agent first previews the
    document; when nothing would change the task reports C(ok) and runs
    nothing. Otherwise it runs the document, forced, so that the key's
    status records this run, and the task reports C(changed).
  - In check mode only the preview runs. In diff mode the preview's report
    (for augeas a unified diff of every file the script would save, for
    puppet the output of C(puppet apply --noop --show_diff)) is the task's
    diff.
  - A document the host skips as unchanged leaves the key's status as it
    was, or without one; use I(force) to record a run anyway.
version_added: 0.1.0
author: Seed a7d80721 maintainers
requirements:
  - korvex (C(korvexctl) and the agents) on the managed host
options:
  key:
    description:
      - The configuration key the run's outcome is stored under, 1 to 255
        characters of C(A-Z a-z 0-9 _ - .), not beginning with a dot.
    type: str
    required: true
  scheme:
    description:
      - What the document is, and so which tool applies it.
    type: str
    required: true
    choices: [augeas, puppet]
  content:
    description:
      - The document itself.
      - Exactly one of I(content) and I(src) is required.
    type: str
  src:
    description:
      - A URI the managed host fetches the document from itself
        (C(file://), C(http://), C(https://), ...). An absolute path names a
        file on the managed host.
    type: str
  force:
    description:
      - Run the document even when the preview says it would change
        nothing, so that the key's status is written anew. The task then
        reports C(changed).
    type: bool
    default: false
attributes:
  check_mode:
    support: full
  diff_mode:
    support: full
notes:
  - Every call is authorized by PolicyKit on the managed host for the user
    the task runs as; no password is asked for. Use C(become) to run as
    root where the host's policy wants it.
  - The run fails the task with the agent's reason, and a run whose status
    reports a failure fails it with that status.
  - The module calls C(korvexctl --json) on the managed host; see
    korvexctl(1) there.
'''

EXAMPLES = r'''
- name: Name the NTP server in /etc/ntp.conf
  korvex.agents.config:
    key: ntp-server
    scheme: augeas
    content: |
      set /files/etc/ntp.conf/server[1] ntp.example.com
      save

- name: Apply a manifest the hosts fetch themselves
  korvex.agents.config:
    key: web
    scheme: puppet
    src: https://config.example.com/web.pp
'''

RETURN = r'''
key:
  description: The configuration key.
  returned: always
  type: str
  sample: ntp-server
report:
  description: The preview's report of what the document would change; empty when nothing would.
  returned: always
  type: str
  sample: "--- /etc/ntp.conf\n+++ /etc/ntp.conf\n@@ -1 +1 @@\n-server 0.pool.ntp.org\n+server ntp.example.com\n"
outcome:
  description: The first line of the key's status after the run, C(OK), C(FAILED) or C(ERROR).
  returned: when the document ran
  type: str
  sample: OK
status:
  description: The key's whole status text after the run, with what the tool reported.
  returned: when the document ran
  type: str
  sample: "OK\nSaved 1 file(s)\n"
'''

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.korvex.agents.plugins.module_utils.korvexctl import Korvexctl


def main():
    module = AnsibleModule(
        argument_spec=dict(
            key=dict(type='str', required=True, no_log=False),
            scheme=dict(type='str', required=True, choices=['augeas', 'puppet']),
            content=dict(type='str'),
            src=dict(type='str'),
            force=dict(type='bool', default=False),
        ),
        mutually_exclusive=[('content', 'src')],
        required_one_of=[('content', 'src')],
        supports_check_mode=True,
    )
    params = module.params
    ctl = Korvexctl(module)
    if params['src'] is None:
        document, data = '-', params['content']
        preview, run = 'preview', 'run-string'
    else:
        document, data = params['src'], None
        preview, run = 'preview-uri', 'run-uri'
    scheme = ['--scheme', params['scheme']]

    # korvexctl exits as diff does: 0 when nothing would change, 1 when something would.
    dummy, previewed = ctl.answer('sysconfig', preview, *scheme, document, data=data, ok=(0, 1))
    result = dict(key=params['key'], report=previewed['report'],
                  changed=previewed['changes'] or params['force'])
    if module._diff and previewed['report']:
        result['diff'] = dict(prepared=previewed['report'])
    if not result['changed'] or module.check_mode:
        module.exit_json(**result)

    rc, ran, why = ctl.run('sysconfig', run, *scheme, '--key', params['key'], '--force',
                           document, data=data)
    if ran is None:
        module.fail_json(msg=why or 'korvexctl exited with status %d' % rc, rc=rc, **result)
    result.update(outcome=ran['result'], status=ran['status'])
    if rc != 0:
        module.fail_json(msg='%s: %s' % (params['key'], ran['status'].strip()), rc=rc, **result)
    module.exit_json(**result)


if __name__ == '__main__':
    main()
