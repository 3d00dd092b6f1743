"""What the tool tells its user: the failure that stops it and warnings on
standard error; the summary, and in verbose mode every file as it is
placed, on standard output. On a terminal, a freeze that takes more than
a second shows what it is doing on one status line of standard error,
which is cleared before anything else is written and at the end."""

import sys
import time


class Failure(Exception):
    """Stops the tool with one line."""


class Log(object):
    def __init__(self, verbose):
        self.verbose = verbose
        self.live = sys.stderr.isatty()
        self.start = self.last = time.time()
        self.shown = False

    def status(self, text):
        """Shows what the tool is doing now, at most ten times a second."""
        now = time.time()
        if self.live and now - self.start > 1 and now - self.last > 0.1:
            sys.stderr.write('\r\033[Kfreeze-app: %s' % text)
            sys.stderr.flush()
            self.shown = True
            self.last = now

    def clear(self):
        if self.shown:
            sys.stderr.write('\r\033[K')
            self.shown = False

    def warn(self, text):
        self.clear()
        sys.stderr.write('freeze-app: warning: %s\n' % text)

    def error(self, text):
        """One of several lines that say why the tool stops."""
        self.clear()
        sys.stderr.write('freeze-app: %s\n' % text)

    def detail(self, text):
        if self.verbose:
            self.clear()
            sys.stdout.write('  %s\n' % text)

    def say(self, text):
        self.clear()
        sys.stdout.write('freeze-app: %s\n' % text)
