"""jsonpp: pretty-prints the JSON document in FILE, or on standard input."""

import json
import sys

USAGE = 'usage: jsonpp [--where] [FILE]\n'


def where():
    """Where the application runs from, as the launcher set it up."""
    return ('executable: %s\npath: %s\nfile system encoding: %s\n'
            % (sys.executable, ' '.join(sys.path), sys.getfilesystemencoding()))


def read(argument):
    """Returns the text of the named file. The name is decoded the way the
    system encodes file names, as text names are, so that non-ASCII names
    work; one that does not decode is used as it is."""
    try:
        name = argument.decode(sys.getfilesystemencoding())
    except UnicodeError:
        name = argument
    with open(name, 'rb') as f:
        return f.read()


def main(argv):
    args = argv[1:]
    if args == ['--where']:
        sys.stdout.write(where())
        return 0
    if len(args) > 1 or args and args[0].startswith('-'):
        sys.stderr.write(USAGE)
        return 2
    label = args[0] if args else '<stdin>'
    try:
        text = read(args[0]) if args else sys.stdin.read()
    except (IOError, OSError) as e:
        sys.stderr.write('jsonpp: cannot read %s: %s\n' % (label, e.strerror))
        return 2
    try:
        document = json.loads(text)
    except ValueError as e:
        sys.stderr.write('jsonpp: %s: not JSON: %s\n' % (label, e))
        return 1
    out = json.dumps(document, indent=2, sort_keys=True, ensure_ascii=False,
                     separators=(',', ': '))
    if isinstance(out, unicode):
        out = out.encode('utf-8')
    sys.stdout.write(out + '\n')
    return 0
