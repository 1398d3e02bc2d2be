# Copyright: 2026 Seed a7d80721 maintainers
# MIT License (see the collection's galaxy.yml)
"""korvexctl on the managed host: its --json answers and its reasons.

The modules ask the host's own agents through the host's own korvexctl, so
they need nothing there but Python 3 and korvex, whatever the connection.
"""

import json

_PREFIX = 'korvexctl: '


def reason(stderr):
    """What korvexctl said on standard error, without its name."""
    lines = [line[len(_PREFIX):] if line.startswith(_PREFIX) else line
             for line in stderr.splitlines() if line.strip()]
    return '\n'.join(lines)


class Korvexctl:
    def __init__(self, module):
        self.module = module
        self.path = module.get_bin_path('korvexctl', required=True)

    def run(self, *args, **kwargs):
        """Runs korvexctl --json ARGS (standard input: `data`, as given).

        Returns the exit status, the JSON object printed (None when there is
        none) and the reason given on standard error. Nobody could answer a
        password prompt here, so korvexctl asks for none.
        """
        command = [self.path, '--json', '--no-ask-password'] + list(args)
        data = kwargs.get('data')
        rc, out, err = self.module.run_command(command, data=data, binary_data=True)
        try:
            answer = json.loads(out) if out.strip() else None
        except ValueError:
            answer = None
        return rc, answer, reason(err)

    def answer(self, *args, **kwargs):
        """The JSON answer of a run that exits with a status in `ok`
        (default: 0); anything else fails the task with korvexctl's reason.
        """
        ok = kwargs.pop('ok', (0,))
        rc, answer, why = self.run(*args, **kwargs)
        if rc not in ok or answer is None:
            self.module.fail_json(
                msg=why or 'korvexctl %s exited with status %d' % (' '.join(args), rc), rc=rc)
        return rc, answer
