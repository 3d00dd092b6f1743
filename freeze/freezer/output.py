"""Where the application directory is built: beside OUTPUT, and renamed
into place only once it is complete, so that a failed freeze leaves an
earlier output as it was. Never over the sources."""

import os
import shutil
import tempfile

from .finding import inside
from .log import Failure


def check(output, sources, force):
    for source in sources:
        if inside(output, source) or inside(source, output):
            raise Failure('OUTPUT %s is, lies inside or contains the sources in %s'
                          % (output, source))
    if os.path.lexists(output) and not force:
        raise Failure('%s exists (use --force to replace it)' % output)


def remove(path):
    if os.path.isdir(path) and not os.path.islink(path):
        shutil.rmtree(path)
    else:
        os.remove(path)


def build(output, fill):
    """Calls fill(directory) on a new directory beside OUTPUT, then puts
    it in OUTPUT's place; returns what fill returned."""
    output = os.path.abspath(output)
    parent = os.path.dirname(output)
    if not os.path.isdir(parent):
        os.makedirs(parent)
    work = tempfile.mkdtemp(prefix='.%s.' % os.path.basename(output), dir=parent)
    try:
        result = fill(work)
        os.chmod(work, 0o755)
        if os.path.lexists(output):
            old = work + '.old'
            os.rename(output, old)
            os.rename(work, output)
            remove(old)
        else:
            os.rename(work, output)
    except BaseException:
        shutil.rmtree(work, ignore_errors=True)
        raise
    return result
