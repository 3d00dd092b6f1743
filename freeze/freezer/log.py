"""What the tool tells its user: the failure that stops it and warnings on
standard error; the summary, and in verbose mode every file as it is
placed, on standard output."""

import sys


class Failure(Exception):
    """Stops the tool with one line."""


class Log(object):
    def __init__(self, verbose):
        self.verbose = verbose

    def warn(self, text):
        sys.stderr.write('freeze-app: warning: %s\n' % text)

    def detail(self, text):
        if self.verbose:
            sys.stdout.write('  %s\n' % text)

    def say(self, text):
        sys.stdout.write('freeze-app: %s\n' % text)
